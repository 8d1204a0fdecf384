// The command model: kinds of command, trigger modes, command-table entries and the command table
// with its lookups, plus the fixed command sets the laser families need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Every kind of command the program knows. The order matters: the text lookup compares the
// parameters of kinds up to lcReset and ignores them for the later ones.
enum TLaserCommand : std::uint8_t {
  lcReadStatus,
  lcReadSN,
  lcReadQXC03SN,
  lcReadRunningTime,
  lcReadFlowRate,
  lcReadCurrent,
  lcReadMaxCurrent,
  lcReadCurrentLimit,
  lcReadFrequency,
  lcReadTriggerMode,
  lcReadErrorCode,
  lcReadTemperature,
  lcReadHumidity,
  lcReadPulseCount,
  lcReadPulseNumber,
  lcReadRegulatorLevel,
  lcReadActualRegulatorLevel,
  lcReadRegulatorState,
  lcReadSeederFrequency,
  lcSetInternal,
  lcSetExternal,
  lcSetCW,
  lcClearError,
  lcSaveSettings,
  lcReset,
  lcSetPassword,
  lcSetStatus,
  lcSetCurrent,
  lcSetMaxCurrent,
  lcSetCurrentLimit,
  lcSetFrequency,
  lcSetTemperature,
  lcSetPulseCount,
  lcSetPulseNumber,
  lcSetRegulatorLevel,
  lcSetActualRegulatorLevel,
  lcSetRegulator,
  lcSetCommands,
  lcCustomized,
  lcUnknown,
};
inline constexpr int LaserCommandCount = lcUnknown + 1;

// The identifier of a kind as written in code ("lcReadCurrent"), for diagnostics and templates.
std::string_view LaserCommandName(TLaserCommand kind);

enum TTriggerMode : std::uint8_t { tmInternal, tmExternal, tmCW, tmError };
inline constexpr const char* TriggerModeNames[] = {"Internal", "External", "CW", "Error"};

// Texts sent to the laser, reply patterns, descriptions and captured groups are at most 255
// 8-bit characters; longer ones are cut.
inline constexpr std::size_t ShortStringMax = 255;
std::string ShortString(std::string_view text);

// The capture groups of one recognised reply; element 0 is the whole match.
using TLaserMsg = std::vector<std::string>;

// One command-table entry.
struct TCommandSyntax {
  TLaserCommand ID = lcUnknown;
  std::uint8_t SubID = 0;  // 0: no branch; 1 or 2: the branch (sensor 1..4 for temperatures)
  std::string Command;     // the text written to the laser, without terminator
  std::string Mask;        // the reply pattern
  std::string Description;
  // [0]: group carrying the branch number in the reply (-1: none); [1..]: value groups.
  std::vector<std::int16_t> Indexes;
  std::uint8_t Lines = 1;  // received lines that make one reply
};

// How many reply lines a pattern spans: 1 plus the number of four-character "\r\n" escapes.
std::uint8_t CountLines(std::string_view mask);

class TCommandList;
using TListNotify = std::function<void(TCommandList* Sender)>;

// The ordered command table; owns its entries. Changes come from the UI thread, while the
// matching thread reads the table: it takes an immutable Snapshot and so never sees a list
// halfway through a change.
class TCommandList {
 public:
  using TEntries = std::vector<TCommandSyntax>;
  using TSnapshot = std::shared_ptr<const TEntries>;

  TCommandList();

  // Appends an entry (command text trimmed, texts cut to 255, Lines counted) and raises OnChange.
  int Add(TLaserCommand id, std::uint8_t subId, std::string_view command, std::string_view mask,
          std::initializer_list<std::int16_t> indexes, std::string_view description);
  int Add(TLaserCommand id, std::uint8_t subId, std::string_view command, std::string_view mask,
          const std::vector<std::int16_t>& indexes, std::string_view description);
  // Throws std::out_of_range (the list's index error) before changing anything.
  void Delete(int index);
  void Remove(TLaserCommand id, std::uint8_t subId) { Delete(IndexOf(id, subId)); }
  void Clear();

  const TCommandSyntax& Items(int index) const;  // throws std::out_of_range
  int Count() const { return static_cast<int>(FEntries->size()); }

  int IndexOf(TLaserCommand id, std::uint8_t subId) const;
  int IndexOfCommand(std::string_view text) const;

  // The current content; valid to read from any thread for as long as it is held.
  TSnapshot Snapshot() const;

  static int IndexOf(const TEntries& entries, TLaserCommand id, std::uint8_t subId);
  static int IndexOfCommand(const TEntries& entries, std::string_view text);

  TListNotify OnChange;

 private:
  void Replace(TEntries entries);
  void Changed();

  TSnapshot FEntries;
  mutable std::mutex FSnapshotLock;  // guards the pointer swap only
};

// Command sets. Each raises the list's OnChange once (not once per entry).
void LoadInitialCommands(TCommandList& list);
void LoadBaseCommands(TCommandList& list);
void LoadQTCommands(TCommandList& list, bool reload);
void LoadZECommands(TCommandList& list, bool reload);
