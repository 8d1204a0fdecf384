#include "logic/recorder/RecorderSettings.h"

#include <string>

TRecorderSettings ReadRecorderSettings(const TIniFile& File,
                                       const std::filesystem::path& DefaultFolder) {
  TRecorderSettings s;
  const std::string folder = File.ReadString(RecorderSection, "Folder", "");
  const std::filesystem::path stored(std::u8string(folder.begin(), folder.end()));
  if (folder.empty()) {
    s.Folder = DefaultFolder;
  } else if (stored.is_relative()) {
    s.Folder = DefaultFolder / stored;
  } else {
    s.Folder = stored;
  }
  s.AutoRecord = File.ReadBool(RecorderSection, "AutoRecord", false);
  return s;
}

bool StoreRecorderSettings(TIniFile& File, const TRecorderSettings& Now,
                           const TRecorderSettings& Read) {
  bool wrote = false;
  if (Now.Folder != Read.Folder) {
    const std::u8string folder = Now.Folder.u8string();
    File.WriteString(RecorderSection, "Folder", std::string(folder.begin(), folder.end()));
    wrote = true;
  }
  if (Now.AutoRecord != Read.AutoRecord) {
    File.WriteBool(RecorderSection, "AutoRecord", Now.AutoRecord);
    wrote = true;
  }
  return wrote;
}
