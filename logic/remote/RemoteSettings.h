// The remote control's keys in the settings file: "Enabled", "Port" and "AllowControl" in the
// section "Remote".
#pragma once

#include <cstdint>

#include "logic/IniFile.h"

inline constexpr const char* RemoteSection = "Remote";
inline constexpr std::uint16_t DefaultRemotePort = 5025;  // the usual port of such instruments

struct TRemoteSettings {
  bool Enabled = false;
  std::uint16_t Port = DefaultRemotePort;
  bool AllowControl = false;
  bool operator==(const TRemoteSettings&) const = default;
};

// A port outside 1..65535 reads as the default; Enabled and AllowControl are booleans, default 0.
TRemoteSettings ReadRemoteSettings(const TIniFile& File);
// Writes into File each setting that differs from what was read (Read); false when none does.
bool StoreRemoteSettings(TIniFile& File, const TRemoteSettings& Now, const TRemoteSettings& Read);
