// The texts of the main window's status bar: the port, the state of the connection and the
// laser's emission as it last reported it. Qt-free, so that every state is tested without a
// display.
#pragma once

#include <optional>
#include <string>

// Why the last connection ended.
enum class TCloseCause { None, Operator, NoReply, Lost };

struct TLinkFacts {
  int Port = 1;
  bool Connected = false;   // the port is open
  bool Ready = false;       // detection has finished
  bool InStep = true;       // the line's replies belong to the commands written
  bool OpenFailed = false;  // the last attempt to open the port failed
  bool Retrying = false;    // the port is tried again periodically
  TCloseCause LastClose = TCloseCause::None;
  std::string ConnectKey{};  // the connect command's hot key as shown ("Ctrl+L"); may be empty
};

// "Disconnected", "Waiting for COM3", "COM3 not available: connect with Ctrl+L", "Probing",
// "Ready", "Resynchronising", "No reply".
std::string ConnectionStateText(const TLinkFacts& Facts);

// "COM3", with the device that stands for it where there is one ("COM3 /dev/ttyS2").
std::string PortFieldText(int Port, const std::string& Device);

// "LASER ON", "off", or a dash while the laser has not said.
std::string EmissionText(std::optional<bool> On);
