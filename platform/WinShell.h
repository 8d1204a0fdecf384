// The Windows program's own version information and the shell's "open" verb, Qt-free, for the
// about box. Windows only. (The system's error texts are SystemErrorText in laser/Sync.h.)
#pragma once

#include <optional>
#include <string>

// A text of the version resource of the given file ("StringFileInfo\040904E4\<name>", US English,
// Windows Latin-1), as UTF-8; nothing when the file has no version information or no such text.
std::optional<std::string> FileVersionString(const std::wstring& path, const std::string& name);
// The same for the running program's own executable.
std::optional<std::string> ProgramVersionString(const std::string& name);
// The full path of the running program's executable (whatever argv[0] says); empty if the
// system cannot tell.
std::wstring ProgramFilePath();
// Opens a document or web address (UTF-8) with the shell's "open" verb in a normally shown
// window; false when the shell could not.
bool ShellOpen(const std::string& target);
