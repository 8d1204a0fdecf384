#include "logic/SettingsLocation.h"

#include <array>
#include <string_view>
#include <system_error>

#include "logic/Settings.h"

#ifdef _WIN32
#include <fstream>
#include <random>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

bool FolderWritable(const fs::path& Folder) {
#ifdef _WIN32
  // The access bits say nothing of a folder's ACL: only a write shows whether one is allowed.
  std::random_device random;
  const fs::path probe = Folder / (".write-probe-" + std::to_string(random()));
  std::error_code ec;
  if (fs::exists(probe, ec)) return false;
  bool ok = false;
  {
    std::ofstream file(probe);
    ok = file.good();
  }
  fs::remove(probe, ec);
  return ok;
#else
  // For the effective user, and a read-only file system counts as not writable.
  return ::faccessat(AT_FDCWD, Folder.c_str(), W_OK, AT_EACCESS) == 0;
#endif
}

}  // namespace

TSettingsPlace ChooseSettingsPlace(const TSettingsFacts& Facts) {
  if (Facts.FileExists || !Facts.HasUserFolder) return TSettingsPlace::BesideProgram;
  if (Facts.FolderWritable && !Facts.SharedProgramFolder) return TSettingsPlace::BesideProgram;
  return TSettingsPlace::UserFolder;
}

bool IsSharedProgramFolder(const fs::path& Folder) {
#ifdef _WIN32
  (void)Folder;
  return false;
#else
  static constexpr std::array<std::string_view, 8> kShared = {
      "/bin",           "/sbin",      "/usr/bin",        "/usr/sbin",
      "/usr/local/bin", "/usr/games", "/usr/local/sbin", "/usr/local/games"};
  std::error_code ec;
  const fs::path folder = fs::weakly_canonical(Folder, ec);
  if (ec) return false;
  for (const std::string_view shared : kShared) {
    std::error_code sharedEc;
    if (fs::weakly_canonical(fs::path(shared), sharedEc) == folder && !sharedEc) return true;
  }
  return false;
#endif
}

fs::path SettingsFileFor(const fs::path& ExecutablePath, const fs::path& UserFolder) {
  const fs::path beside = SettingsPathFor(ExecutablePath);
  const fs::path folder = beside.parent_path();
  std::error_code ec;
  TSettingsFacts facts;
  facts.FileExists = fs::exists(beside, ec);
  facts.FolderWritable = FolderWritable(folder.empty() ? fs::path(".") : folder);
  facts.SharedProgramFolder = IsSharedProgramFolder(folder);
  facts.HasUserFolder = !UserFolder.empty();
  if (ChooseSettingsPlace(facts) == TSettingsPlace::BesideProgram) return beside;
  return UserFolder / beside.filename();
}
