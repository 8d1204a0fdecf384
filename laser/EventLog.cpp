#include "laser/EventLog.h"

#include <charconv>
#include <cstdio>
#include <memory>

#include "laser/QNLaser.h"

namespace {

std::string Fixed2(double value) {
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

std::string Int(long long value) {
  return std::to_string(value);
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 32 || c >= 127) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

void AttachEventLog(TLaser& laser, std::function<void(const std::string& line)> sink) {
  auto out = std::make_shared<std::function<void(const std::string&)>>(std::move(sink));
  auto emit = [out](const std::string& line) { (*out)(line); };
  auto plain = [emit](const char* name) { return [emit, name](TLaser*) { emit(name); }; };
  auto floatEx = [emit](const char* name) {
    return [emit, name](TLaser*, std::uint8_t branch, double value) {
      emit(std::string(name) + " " + Int(branch) + " " + Fixed2(value));
    };
  };
  auto floatOne = [emit](const char* name) {
    return [emit, name](TLaser*, double value) { emit(std::string(name) + " " + Fixed2(value)); };
  };
  auto onOff = [emit](const char* name) {
    return
        [emit, name](TLaser*, bool on) { emit(std::string(name) + " " + (on ? "true" : "false")); };
  };
  auto text = [emit](const char* name) {
    return [emit, name](TLaser*, const std::string& buf) {
      emit(std::string(name) + " " + EscapeText(buf));
    };
  };
  auto commandError = [emit](const char* name) {
    return [emit, name](TLaser*, TLaserCommand command, std::uint8_t subId,
                        const std::string& cmdStr) {
      emit(std::string(name) + " " + std::string(LaserCommandName(command)) + " " + Int(subId) +
           " " + EscapeText(cmdStr));
    };
  };
  auto sn = [emit](const char* name) {
    return [emit, name](TLaser*, int value) { emit(std::string(name) + " " + Int(value)); };
  };

  laser.OnConnect = [emit](TComPort*) { emit("OnConnect"); };
  laser.OnDisconnect = [emit](TComPort*) { emit("OnDisconnect"); };
  laser.OnConnectFail = plain("OnConnectFail");
  laser.OnSend = text("OnSend");
  laser.OnReceive = text("OnReceive");
  laser.OnMointorError = text("OnMointorError");
  laser.OnLaserError = [emit](TLaser*, std::uint8_t code) { emit("OnLaserError " + Int(code)); };
  laser.OnCommandError = commandError("OnCommandError");
  laser.OnCommandTimeout = commandError("OnCommandTimeout");
  laser.OnCommandReport = [emit](TLaser*, TCommandOutcome outcome, const std::string& text) {
    const char* what[] = {"answered", "refused", "no-reply", "not-sent", "cancelled"};
    emit(std::string("OnCommandReport ") + what[static_cast<int>(outcome)] + " " +
         EscapeText(text));
  };
  laser.OnResync = text("OnResync");
  laser.OnClearError = plain("OnClearError");
  laser.OnClearedError = plain("OnClearedError");
  laser.OnReset = plain("OnReset");
  laser.OnReseted = plain("OnReseted");
  laser.OnLaserON = onOff("OnLaserON");
  laser.OnSN = sn("OnSN");
  laser.OnQXCSN = sn("OnQXCSN");
  laser.OnSNMismatch = plain("OnSNMismatch");
  laser.OnCurrent = floatEx("OnCurrent");
  laser.OnMaxCurrent = floatEx("OnMaxCurrent");
  laser.OnFrequency = floatEx("OnFrequency");
  laser.OnTemperature = floatEx("OnTemperature");
  laser.OnHumidity = floatEx("OnHumidity");
  laser.OnTriggerMode = [emit](TLaser*, std::uint8_t branch, TTriggerMode mode) {
    emit("OnTriggerMode " + Int(branch) + " " + (mode <= tmError ? TriggerModeNames[mode] : "?"));
  };
  laser.OnRunningTime = [emit](TLaser*, std::uint32_t minutes) {
    emit("OnRunningTime " + Int(minutes));
  };
  laser.OnFlowRate = floatOne("OnFlowRate");
  laser.OnSeederFrequency = floatOne("OnSeederFrequency");
  laser.OnPulsePickerCount = floatOne("OnPulsePickerCount");
  laser.OnPulsePickerNumber = floatOne("OnPulsePickerNumber");
  laser.OnNominalRegulatorLevel = floatOne("OnNominalRegulatorLevel");
  laser.OnActualRegulatorLevel = floatOne("OnActualRegulatorLevel");
  laser.OnRegualtorState = onOff("OnRegualtorState");
  laser.OnCustomizedCmd = [emit](TLaser*, std::uint8_t subId, const std::string& buf) {
    emit("OnCustomizedCmd " + Int(subId) + " " + EscapeText(buf));
  };
}
