// The recorder's keys in the settings file: "Folder" (where recordings go) and "AutoRecord" in the
// section "Recorder".
#pragma once

#include <filesystem>

#include "logic/Settings.h"
#include "logic/recorder/Recorder.h"

inline constexpr const char* RecorderSection = "Recorder";

// A missing or empty Folder is DefaultFolder (the user's documents folder, which the window
// knows); a relative one lies inside it. AutoRecord is a boolean, default 0.
TRecorderSettings ReadRecorderSettings(const TIniFile& File,
                                       const std::filesystem::path& DefaultFolder);
// Writes into File each setting that differs from what was read (Read); false when none does,
// so that a run that changed nothing leaves the file alone.
bool StoreRecorderSettings(TIniFile& File, const TRecorderSettings& Now,
                           const TRecorderSettings& Read);
