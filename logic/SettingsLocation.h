// Where the settings file lives. Beside the executable (its name with ".ini") when that file
// exists there or the program may write its own folder, as for a program unpacked into a folder
// of its own; otherwise, as for a program installed among others (/usr/bin), in the user's own
// configuration folder. Template names without a folder are looked for beside the settings file.
#pragma once

#include <filesystem>

enum class TSettingsPlace { BesideProgram, UserFolder };

// What decides the place.
struct TSettingsFacts {
  bool FileExists = false;      // the settings file beside the executable
  bool FolderWritable = false;  // the executable's folder, for the user running it
  // A folder the system's programs share (/usr/bin, /usr/local/bin): even a user who may write
  // it (root) keeps no settings of ours there, where no package manager knows of them.
  bool SharedProgramFolder = false;
  bool HasUserFolder = false;  // the user's configuration folder is known
};

TSettingsPlace ChooseSettingsPlace(const TSettingsFacts& Facts);

// Whether Folder is one of the system's shared program folders (links resolved). Never on Windows.
bool IsSharedProgramFolder(const std::filesystem::path& Folder);

// The settings file for the executable at ExecutablePath, the file system asked for the facts.
// UserFolder: the user's configuration folder for this program (empty when unknown); the file
// there has the same name as beside the executable.
std::filesystem::path SettingsFileFor(const std::filesystem::path& ExecutablePath,
                                      const std::filesystem::path& UserFolder);
