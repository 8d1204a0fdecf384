#include "laser/Commands.h"

#include <string>
#include <utility>

#include "laser/Text.h"

namespace {

constexpr std::string_view KindNames[] = {
    "lcReadStatus",
    "lcReadSN",
    "lcReadQXC03SN",
    "lcReadRunningTime",
    "lcReadFlowRate",
    "lcReadCurrent",
    "lcReadMaxCurrent",
    "lcReadCurrentLimit",
    "lcReadFrequency",
    "lcReadTriggerMode",
    "lcReadErrorCode",
    "lcReadTemperature",
    "lcReadHumidity",
    "lcReadPulseCount",
    "lcReadPulseNumber",
    "lcReadRegulatorLevel",
    "lcReadActualRegulatorLevel",
    "lcReadRegulatorState",
    "lcReadSeederFrequency",
    "lcSetInternal",
    "lcSetExternal",
    "lcSetCW",
    "lcClearError",
    "lcSaveSettings",
    "lcReset",
    "lcSetPassword",
    "lcSetStatus",
    "lcSetCurrent",
    "lcSetMaxCurrent",
    "lcSetCurrentLimit",
    "lcSetFrequency",
    "lcSetTemperature",
    "lcSetPulseCount",
    "lcSetPulseNumber",
    "lcSetRegulatorLevel",
    "lcSetActualRegulatorLevel",
    "lcSetRegulator",
    "lcSetCommands",
    "lcCustomized",
    "lcUnknown",
};
static_assert(std::size(KindNames) == LaserCommandCount);

// A command text split for the text lookup: "w70 1" is letter 'w', number 70, parameter "1".
struct TCommandKey {
  char Letter = 0;
  std::int32_t Number = 0;
  std::string_view Param;
};

TCommandKey SplitCommand(std::string_view text) {
  TCommandKey key;
  if (text.empty()) return key;
  key.Letter = text[0];
  const std::size_t space = text.find(' ');
  std::string_view digits = text.substr(1, space == std::string_view::npos ? text.npos : space - 1);
  std::int32_t value = 0;
  key.Number = text::ParseInt(digits, value) ? value : 0;
  if (space != std::string_view::npos) key.Param = text::TrimControls(text.substr(space + 1));
  return key;
}

// Detaches OnChange for a loader's duration and raises it once at the end if anything changed.
class TLoadGuard {
 public:
  explicit TLoadGuard(TCommandList& list)
      : FList(list), FHandler(std::exchange(list.OnChange, nullptr)) {
    FList.OnChange = [this](TCommandList*) { FChanged = true; };
  }
  ~TLoadGuard() {
    FList.OnChange = std::move(FHandler);
    if (FChanged && FList.OnChange) FList.OnChange(&FList);
  }
  TLoadGuard(const TLoadGuard&) = delete;
  TLoadGuard& operator=(const TLoadGuard&) = delete;

 private:
  TCommandList& FList;
  TListNotify FHandler;
  bool FChanged = false;
};

const std::string_view OkMask = "\\AOK\\Z";

}  // namespace

std::string_view LaserCommandName(TLaserCommand kind) {
  return kind < LaserCommandCount ? KindNames[kind] : std::string_view("lcUnknown");
}

std::string ShortString(std::string_view text) {
  return std::string(text.substr(0, ShortStringMax));
}

std::uint8_t CountLines(std::string_view mask) {
  constexpr std::string_view Escape = "\\r\\n";
  unsigned lines = 1;
  for (std::size_t at = mask.find(Escape); at != std::string_view::npos;
       at = mask.find(Escape, at + Escape.size())) {
    ++lines;
  }
  return static_cast<std::uint8_t>(lines > 255 ? 255 : lines);
}

TCommandList::TCommandList() : FEntries(std::make_shared<const TEntries>()) {}

int TCommandList::Add(TLaserCommand id, std::uint8_t subId, std::string_view command,
                      std::string_view mask, std::initializer_list<std::int16_t> indexes,
                      std::string_view description) {
  return Add(id, subId, command, mask, std::vector<std::int16_t>(indexes), description);
}

int TCommandList::Add(TLaserCommand id, std::uint8_t subId, std::string_view command,
                      std::string_view mask, const std::vector<std::int16_t>& indexes,
                      std::string_view description) {
  TCommandSyntax entry;
  entry.ID = id;
  entry.SubID = subId;
  entry.Command = ShortString(text::TrimControls(command));
  entry.Mask = ShortString(mask);
  entry.Description = ShortString(description);
  entry.Indexes = indexes;
  entry.Lines = CountLines(entry.Mask);
  TEntries entries = *FEntries;
  entries.push_back(std::move(entry));
  const int index = static_cast<int>(entries.size()) - 1;
  Replace(std::move(entries));
  Changed();
  return index;
}

void TCommandList::Delete(int index) {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  TEntries entries = *FEntries;
  entries.erase(entries.begin() + index);
  Replace(std::move(entries));
  Changed();
}

void TCommandList::Clear() {
  Replace({});
  Changed();
}

const TCommandSyntax& TCommandList::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return (*FEntries)[static_cast<std::size_t>(index)];
}

int TCommandList::IndexOf(TLaserCommand id, std::uint8_t subId) const {
  return IndexOf(*FEntries, id, subId);
}

int TCommandList::IndexOfCommand(std::string_view text) const {
  return IndexOfCommand(*FEntries, text);
}

int TCommandList::IndexOf(const TEntries& entries, TLaserCommand id, std::uint8_t subId) {
  int fallback = -1;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TCommandSyntax& entry = entries[i];
    if (entry.ID != id) continue;
    if (entry.SubID == subId) return static_cast<int>(i);
    if (fallback < 0 && (entry.SubID == 0 || subId == 0)) fallback = static_cast<int>(i);
  }
  return fallback;
}

int TCommandList::IndexOfCommand(const TEntries& entries, std::string_view text) {
  const TCommandKey wanted = SplitCommand(text);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TCommandKey key = SplitCommand(entries[i].Command);
    if (key.Letter != wanted.Letter || key.Number != wanted.Number) continue;
    if (entries[i].ID <= lcReset && key.Param != wanted.Param) continue;
    return static_cast<int>(i);
  }
  return -1;
}

TCommandList::TSnapshot TCommandList::Snapshot() const {
  std::lock_guard lock(FSnapshotLock);
  return FEntries;
}

void TCommandList::Replace(TEntries entries) {
  auto next = std::make_shared<const TEntries>(std::move(entries));
  std::lock_guard lock(FSnapshotLock);
  FEntries = std::move(next);
}

void TCommandList::Changed() {
  if (OnChange) OnChange(this);
}

void LoadInitialCommands(TCommandList& list) {
  TLoadGuard guard(list);
  list.Clear();
  list.Add(lcReadSN, 0, "r01", "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ ]*?\\Z", {-1, 2},
           "Read the serial number");
  list.Add(lcReadStatus, 0, "r60", "\\A(LASER_ON|LASER_OFF)\\Z", {-1, 0},
           "Check if Laser ON status");
  list.Add(lcReadRunningTime, 0, "r51",
           "\\A.*?TIME:\\r\\n[ \\t]*?(\\d+?) H\\r\\n[ \\t]*?(\\d{1,2}) M\\Z", {-1, 1, 2},
           "Read the running time");
}

void LoadBaseCommands(TCommandList& list) {
  TLoadGuard guard(list);
  list.Clear();
  list.Add(lcReadSN, 0, "r01", "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ \\t]*?\\Z", {-1, 2},
           "Read the serial number");
  list.Add(lcReadStatus, 0, "r60", "\\A(LASER_ON|LASER_OFF)\\Z", {-1, 0},
           "Check if Laser ON status");
  list.Add(lcReadCurrent, 1, "r61", "\\A[ \\t]*?(\\d{1,3}.\\d\\d) A\\Z", {-1, 1},
           "Read nominal current of Laser1");
  list.Add(lcReadCurrent, 2, "r62", "\\A[ \\t]*?(\\d{1,3}.\\d\\d) A\\Z", {-1, 1},
           "Read nominal current of Laser2");
  list.Add(lcReadRunningTime, 0, "r51",
           "\\A.*?TIME:\\r\\n[ \\t]*?(\\d+?) H\\r\\n[ \\t]*?(\\d{1,2}) M\\Z", {-1, 1, 2},
           "Read the running time");
  list.Add(lcReadErrorCode, 0, "r90", "OK", {-1, 0}, "Read error code");
  list.Add(lcReadQXC03SN, 0, "r99",
           "\\ASERIENNUMMER-QXC[ \\t]*?:[ \\t]*?(-??\\d+?)\\.\\d*?[ \\t]*?\\Z", {-1, 1},
           "Read SN of QXC03 controller");
  list.Add(lcSetStatus, 0, "w60", OkMask, {-1, 0}, "Turn Laser ON or OFF");
  list.Add(lcSaveSettings, 0, "w98 347", OkMask, {-1, 0},
           "Save current Laser parameters into the control board");
  list.Add(lcReset, 0, "w99 347", "\\AQXC0\\d OK\\Z", {-1, 0}, "Reset Laser hardware");
  list.Add(lcClearError, 0, "w97 347", "\\AREADY\\Z", {-1, 0},
           "Try to clear the error status of the Laser");
  list.Add(lcSetPassword, 0, "w01", OkMask, {-1, 0},
           "Input password for advanced control settings");
  list.Add(lcSetCurrent, 1, "w61", OkMask, {-1, 0}, "Set nominal current");
  list.Add(lcSetCurrent, 2, "w62", OkMask, {-1, 0}, "Set nominal current");
  list.Add(lcReadSeederFrequency, 0, "r170",
           "\\A[ \\t]*?SEEDER-FREQUENCY[ \\t]*?=[ \\t]*?(\\d+?(.\\d*?))[ \\t]([KM]??)HZ[ \\t]*?\\Z",
           {-1, 1, 3}, "Read seeder frequency saved in the controller");
  list.Add(lcReadPulseCount, 0, "r172",
           "\\A[ \\t]*?PULSE COUNT[ \\t]*?=[ \\t]*?(-??\\d+?(.00)??)[ \\t]*?\\Z", {-1, 1},
           "Read the pulse count of pusle picker");
  list.Add(lcReadPulseNumber, 0, "r173",
           "\\A[ \\t]*?PULSE NUMBER[ \\t]*?=[ \\t]*?(-??\\d+?(.00)??)[ \\t]*?\\Z", {-1, 1},
           "Read the pulse number of pusle picker");
  list.Add(lcReadRegulatorLevel, 0, "r175",
           "\\A[ \\t]*?VREG[ \\t]*?SOLL[ \\t]*?=[ \\t]*?(-??\\d+?(.\\d*?)??)[ \\t]*?%[ \\t]*?\\Z",
           {-1, 1}, "Read the nominal level of power regulator");
}

void LoadQTCommands(TCommandList& list, bool reload) {
  TLoadGuard guard(list);
  if (reload) LoadBaseCommands(list);
  const std::string maxCurrentMask = "\\AIMAX([12])??[ \\t]*?=[ \\t]*?(\\d{1,3}\\.\\d{2}) *?A\\Z";
  const std::string triggerMask = "\\A[ \\w]*?(LASER([12]))??[ \\t]*?(EXTERNAL|INTERNAL|CW).*\\Z";
  const std::string humidityMask =
      "\\A[ \\t]*?HUMIDITY LASER[ \\t]*?(\\d):[ \\t]*?(-??\\d+?\\.\\d+?)[ \\t]*?%\\Z";
  const std::string frequency1Mask =
      std::string("\\A[ \\w]*?FREQUENCY[ \\t]*?=[ \\t]*?(") + "-??" + "\\d+?\\.\\d{2}) HZ\\Z";
  list.Add(lcReadFlowRate, 0, "r91", "\\AFLOW:[ \\t]*?(\\d{1,2}\\.\\d\\d) L/MIN\\Z", {-1, 1},
           "Read current flow rate of cooling water");
  list.Add(lcReadCurrentLimit, 1, "r66",
           "\\ALIMIT_I([12])??[ \\t]*?=[ \\t]*?(\\d{1,2}\\.\\d{2}) A\\Z", {1, 2},
           "Read current limit of Laser1");
  list.Add(lcReadMaxCurrent, 1, "r67", maxCurrentMask, {1, 2}, "Read current limit of Laser1");
  list.Add(lcReadMaxCurrent, 2, "r69", maxCurrentMask, {1, 2}, "Read current limit of Laser2");
  list.Add(lcReadTriggerMode, 1, "r71", triggerMask, {2, 3}, "Read trigger mode of branch 1");
  list.Add(lcReadTriggerMode, 2, "r72", triggerMask, {2, 3}, "Read trigger mode of branch 2");
  list.Add(lcReadFrequency, 1, "r73", frequency1Mask, {-1, 1},
           "Read trigger frequency (Internal or Max External)");
  list.Add(lcReadFrequency, 2, "r74", "\\A[ \\w]*?FREQUENCY[ \\t]*?=[ \\t]*?(\\d+?\\.\\d{2}) HZ\\Z",
           {-1, 1}, "Read trigger frequency (Internal or Max External)");
  list.Add(lcReadHumidity, 1, "r21", humidityMask, {1, 2}, "Read humidity in stack house 1");
  list.Add(lcReadHumidity, 2, "r23", humidityMask, {1, 2}, "Read humidity in stack house 2");
  list.Add(lcSetInternal, 0, "w70 1", OkMask, {-1, 0}, "Set trigger mode to Internal");
  list.Add(lcSetExternal, 1, "w71 1", OkMask, {-1, 0}, "Set trigger mode of branch 1 to External");
  list.Add(lcSetExternal, 2, "w72 1", OkMask, {-1, 0}, "Set trigger mode of branch 2 to External");
  list.Add(lcSetCW, 1, "w71 2", OkMask, {-1, 0}, "Set trigger mode of branch 1 to CW");
  list.Add(lcSetCW, 2, "w72 2", OkMask, {-1, 0}, "Set trigger mode of branch 2 to CW");
  list.Add(lcSetFrequency, 1, "w73", OkMask, {-1, 0},
           "Set Internal trigger freqeuncy or max frequency of external trigger of branch 1");
  list.Add(lcSetFrequency, 2, "w74", OkMask, {-1, 0},
           "Set Internal trigger freqeuncy or max frequency of external trigger of branch 2");
  list.Add(lcSetMaxCurrent, 1, "w67", OkMask, {-1, 0},
           "Set max current of Laser1 which should not exceed current limit");
  list.Add(lcSetMaxCurrent, 2, "w69", OkMask, {-1, 0},
           "Set max current of Laser2 which should not exceed current limit");
  list.Add(lcSetCurrentLimit, 1, "p66", OkMask, {-1, 0}, "Set current limit of Laser1");
}

void LoadZECommands(TCommandList& list, bool reload) {
  TLoadGuard guard(list);
  if (reload) LoadBaseCommands(list);
  list.Remove(lcReadCurrent, 1);
  list.Remove(lcSetCurrent, 1);
  list.Add(lcReadMaxCurrent, 2, "r65", "\\AI(MAX|_GRENZ)[ \\t]*?=[ \\t](\\d{1,2}\\.\\d{2}) A\\Z",
           {-1, 2}, "Read max current");
  list.Add(lcSetInternal, 1, "w70 1", OkMask, {-1, 0}, "Set trigger mode to Internal");
  list.Add(lcSetExternal, 1, "w70 0", OkMask, {-1, 0}, "Set trigger mode to External");
  list.Add(lcSetCW, 1, "w70 2", OkMask, {-1, 0}, "Set trigger mode to CW");
  list.Add(lcSetFrequency, 1, "w71", OkMask, {-1, 0},
           "Set Internal trigger freqeuncy or max frequency of external trigger");
  list.Add(lcReadTriggerMode, 1, "r70",
           "\\A[ \\w]*?TRIGGER_MODE:[ \\t]*?(EXTERNAL|INTERNAL|CW).*\\Z", {-1, 1},
           "Read trigger mode of branch 1");
  list.Add(lcReadFrequency, 1, "r71", "\\A[ \\w]*?FREQUENCY[ \\t]*?=[ \\t]*?(\\d+?\\.\\d{2}) HZ\\Z",
           {-1, 1}, "Read trigger frequency");
}
