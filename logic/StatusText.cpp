#include "logic/StatusText.h"

namespace {
std::string Com(int Port) {
  return "COM" + std::to_string(Port);
}
}  // namespace

std::string ConnectionStateText(const TLinkFacts& F) {
  if (F.Connected) {
    if (!F.Ready) return "Probing";
    return F.InStep ? "Ready" : "Resynchronising";
  }
  if (F.OpenFailed) {
    if (F.Retrying) return "Waiting for " + Com(F.Port);
    // Nothing will try again by itself: say what the operator can do.
    std::string text = Com(F.Port) + " not available";
    if (!F.ConnectKey.empty()) text += ": connect with " + F.ConnectKey;
    return text;
  }
  if (F.LastClose == TCloseCause::NoReply) return "No reply";
  if (F.Retrying) return "Waiting for " + Com(F.Port);
  return "Disconnected";
}

std::string PortFieldText(int Port, const std::string& Device) {
  if (Device.empty()) return Com(Port);
  return Com(Port) + " " + Device;
}

std::string EmissionText(std::optional<bool> On) {
  if (!On) return "\u2013";
  return *On ? "LASER ON" : "off";
}
