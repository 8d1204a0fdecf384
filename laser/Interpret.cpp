// Turns one recognised reply into typed values and the matching event.
//
// A reply whose text does not convert (a current such as "12X50", a serial number above 65535),
// whose entry names a value group the pattern does not have, or whose entry has fewer value
// indexes than its kind needs, raises nothing and stores nothing.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "laser/QNLaser.h"
#include "laser/Regex.h"
#include "laser/Text.h"

namespace {

// A captured group may carry the blanks and line ends around the value.
bool ParseFloat(std::string_view text, double& value) {
  return text::ParseFloat(text::TrimControls(text), value);
}

bool ParseInteger(std::string_view text, std::int64_t& value) {
  return text::ParseInt(text::TrimControls(text), value);
}

// The texts of one reply as the entry's Indexes name them.
class TReplyTexts {
 public:
  TReplyTexts(const TCommandSyntax& cmd, const TLaserMsg& msg)
      : FCmd(cmd), FMsg(msg), FGroups(TRegex(cmd.Mask).CaptureCount()) {}

  // Value k (1: the main value, 2: the second); false when the entry does not name a group of
  // its pattern. A group that took no part in the match gives an empty text.
  bool Get(std::size_t k, std::string& text) const {
    if (FCmd.Indexes.size() <= k) return false;
    const int group = FCmd.Indexes[k];
    if (group < 0 || group > FGroups) return false;
    text = static_cast<std::size_t>(group) < FMsg.size() ? FMsg[static_cast<std::size_t>(group)]
                                                         : std::string();
    return true;
  }
  bool Has(std::size_t k) const { return FCmd.Indexes.size() > k; }

 private:
  const TCommandSyntax& FCmd;
  const TLaserMsg& FMsg;
  const int FGroups;
};

}  // namespace

void TLaser::InterpretReply(int Index, const TLaserMsg& Msg) {
  if (Index < 0 || Index >= FCommandList.Count()) return;
  const TCommandSyntax cmd = FCommandList.Items(Index);
  InterpretReply(cmd, Msg);
}

void TLaser::InterpretReply(const TCommandSyntax& Cmd, const TLaserMsg& Msg) {
  const TReplyTexts texts(Cmd, Msg);
  std::string value;
  std::string second;
  double number = 0;
  const std::uint8_t sub = Cmd.SubID;

  // The main value as a float, for the many kinds that carry just that.
  auto floatValue = [&]() { return texts.Get(1, value) && ParseFloat(value, number); };

  switch (Cmd.ID) {
    case lcReadStatus:
      if (!texts.Get(1, value)) return;
      if (OnLaserON) OnLaserON(this, value == "LASER_ON");
      break;
    case lcReadSN: {
      std::int64_t sn = 0;
      if (!texts.Get(1, value) || !ParseInteger(value, sn) || sn < 0 || sn > 65535) return;
      FSN = static_cast<std::uint16_t>(sn);
      if (OnSN) OnSN(this, FSN);
      break;
    }
    case lcReadQXC03SN: {
      std::int64_t sn = 0;
      if (!texts.Get(1, value) || !ParseInteger(value, sn) ||
          sn < std::numeric_limits<std::int32_t>::min() ||
          sn > std::numeric_limits<std::int32_t>::max()) {
        return;
      }
      FQXCSN = static_cast<int>(sn);
      if (OnQXCSN) OnQXCSN(this, FQXCSN);
      if (FQXCSN >= 0 && FQXCSN != FSN && OnSNMismatch) OnSNMismatch(this);
      break;
    }
    case lcReadRunningTime: {
      std::int64_t hours = 0;
      std::int64_t minutes = 0;
      if (!texts.Get(1, value) || !texts.Get(2, second) || !ParseInteger(value, hours) ||
          !ParseInteger(second, minutes) || hours < 0 || minutes < 0) {
        return;
      }
      // Beyond 32 bits the total would wrap to a wrong running time.
      if (hours > (std::numeric_limits<std::uint32_t>::max() - minutes) / 60) return;
      FRunningTime = static_cast<std::uint32_t>(hours * 60 + minutes);
      if (OnRunningTime) OnRunningTime(this, FRunningTime);
      break;
    }
    case lcReadFlowRate:
      if (!floatValue()) return;
      if (OnFlowRate) OnFlowRate(this, number);
      break;
    case lcReadCurrent: {
      if (!floatValue()) return;
      if (texts.Has(2)) {
        double fraction = 0;
        if (!texts.Get(2, second) || !ParseFloat(second, fraction)) return;
        number += fraction * 0.00001;
      }
      if (OnCurrent) OnCurrent(this, sub, number);
      break;
    }
    case lcReadMaxCurrent:
      if (!floatValue()) return;
      if (sub == 1 || sub == 2) FMaxCurrent[sub - 1] = number;
      if (OnMaxCurrent) OnMaxCurrent(this, sub, number);
      break;
    case lcReadFrequency:
      if (!floatValue()) return;
      if (OnFrequency) OnFrequency(this, sub, number);
      break;
    case lcReadTriggerMode: {
      if (!texts.Get(1, value)) return;
      const TTriggerMode mode = value == "CW"         ? tmCW
                                : value == "EXTERNAL" ? tmExternal
                                                      : tmInternal;
      if (OnTriggerMode) OnTriggerMode(this, sub, mode);
      break;
    }
    case lcReadTemperature:
      if (!floatValue()) return;
      if (OnTemperature) OnTemperature(this, sub, number);
      break;
    case lcReadHumidity:
      if (!floatValue()) return;
      if (OnHumidity) OnHumidity(this, sub, number);
      break;
    case lcReadPulseCount:
      if (!floatValue()) return;
      if (OnPulsePickerCount) OnPulsePickerCount(this, number);
      break;
    case lcReadPulseNumber:
      if (!floatValue()) return;
      if (OnPulsePickerNumber) OnPulsePickerNumber(this, number);
      break;
    case lcReadRegulatorLevel:
      if (!floatValue()) return;
      if (OnNominalRegulatorLevel) OnNominalRegulatorLevel(this, number);
      break;
    case lcReadActualRegulatorLevel:
      if (!floatValue()) return;
      if (OnActualRegulatorLevel) OnActualRegulatorLevel(this, number);
      break;
    case lcReadRegulatorState:
      if (!floatValue()) return;
      if (OnRegualtorState) OnRegualtorState(this, std::fabs(number - 1.0) <= 0.001);
      break;
    case lcReadSeederFrequency: {
      if (!floatValue()) return;
      // Without a unit group the value is in Hz.
      if (texts.Get(2, second) && !second.empty()) {
        if (second[0] == 'K') number *= 1000.0;
        if (second[0] == 'M') number *= 1000000.0;
      }
      FSeederFrequency = number;
      if (OnSeederFrequency) OnSeederFrequency(this, FSeederFrequency);
      break;
    }
    case lcCustomized:
      if (!OnCustomizedCmd || !texts.Get(1, value)) return;
      OnCustomizedCmd(this, sub, value);
      break;
    default:
      break;
  }
}
