#include "logic/remote/RemoteSettings.h"

TRemoteSettings ReadRemoteSettings(const TIniFile& File) {
  TRemoteSettings s;
  s.Enabled = File.ReadBool(RemoteSection, "Enabled", false);
  const auto stored = File.Value(RemoteSection, "Port");
  const auto port = stored ? ParseIniInteger(*stored) : std::nullopt;
  if (port && *port >= 1 && *port <= 65535) s.Port = static_cast<std::uint16_t>(*port);
  s.AllowControl = File.ReadBool(RemoteSection, "AllowControl", false);
  return s;
}

bool StoreRemoteSettings(TIniFile& File, const TRemoteSettings& Now, const TRemoteSettings& Read) {
  bool wrote = false;
  if (Now.Enabled != Read.Enabled) {
    File.WriteBool(RemoteSection, "Enabled", Now.Enabled);
    wrote = true;
  }
  if (Now.Port != Read.Port) {
    File.WriteInteger(RemoteSection, "Port", Now.Port);
    wrote = true;
  }
  if (Now.AllowControl != Read.AllowControl) {
    File.WriteBool(RemoteSection, "AllowControl", Now.AllowControl);
    wrote = true;
  }
  return wrote;
}
