// A remote client's bytes, hostile: cut into lines, parsed, and run by a session against a laser
// that ends every command at once in the way the input picks.
//
// Input: byte 0 picks whether control is allowed, the laser's state and how commands end
// (answered with the reply's groups missing, refused, unanswered, or by turns); byte 1 the
// chunk size (1 to 64); the rest is what the client sends.
//
// Checked for every input:
//  - no crash, leak or hang; the line splitter never holds more than one line's worth;
//  - a parsed command written in short form parses back to itself;
//  - every write is one answer line ended by its only "\n";
//  - once the laser has ended everything, no command of the client is left under way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>

#include "laser/CommandQueue.h"
#include "logic/remote/Scpi.h"
#include "logic/remote/Session.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s\n  text: %.*s\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

// The two-branch command set, made once.
const TCommandList& Commands() {
  static TCommandList list;
  static const bool loaded = (LoadQTCommands(list, true), true);
  (void)loaded;
  return list;
}

class TFuzzLaser : public TRemoteLaser {
 public:
  explicit TFuzzLaser(std::uint8_t mode) : FMode(mode), FList(Commands()) {}

  TRemoteState State() const override { return static_cast<TRemoteState>((FMode >> 1) % 3); }
  int SerialNumber() const override { return 1; }
  std::optional<TCommandSyntax> Entry(TLaserCommand Kind, std::uint8_t Branch) const override {
    const int index = FList.IndexOf(Kind, Branch);
    if (index < 0) return std::nullopt;
    return FList.Items(index);
  }
  bool Send(TLaserCommand Kind, std::uint8_t Branch, std::string_view, TPriority,
            TRemoteDone Done) override {
    if (FList.IndexOf(Kind, Branch) < 0) return false;
    FWaiting.push_back(std::move(Done));
    return true;
  }
  bool KnowsText(std::string_view Text) const override { return FList.IndexOfCommand(Text) >= 0; }
  bool SendRaw(std::string_view Text, TPriority, TRemoteDone Done) override {
    if (Text.size() > ShortStringMax) Fail("a raw text longer than the laser takes", Text);
    FWaiting.push_back(std::move(Done));
    return true;
  }
  bool IsErrorCodeRead(std::string_view Text) const override {
    return SameCommand(std::string(Text), "r90");
  }
  std::uint64_t ErrorLineCount() const override { return 0; }
  std::vector<TErrorLine> ErrorLinesSince(std::uint64_t) const override { return {}; }
  bool PhaseRunning() const override { return false; }

  void EndAll() {
    while (!FWaiting.empty()) {
      TRemoteDone done = std::move(FWaiting.front());
      FWaiting.pop_front();
      const int how = (FMode >> 3) % 4 == 3 ? static_cast<int>(FTurn++ % 3) : (FMode >> 3) % 4;
      const TCommandOutcome outcome = how == 0   ? TCommandOutcome::Answered
                                      : how == 1 ? TCommandOutcome::Refused
                                                 : TCommandOutcome::NoReply;
      if (done) done(TRemoteReply{outcome, {}});
    }
  }

 private:
  std::uint8_t FMode;
  std::uint64_t FTurn = 0;
  const TCommandList& FList;
  std::deque<TRemoteDone> FWaiting;
};

void CheckRoundTrip(std::string_view line) {
  const TScpiLine parsed = ParseScpiLine(line);
  for (const TScpiUnit& unit : parsed.Units) {
    const std::string text = ScpiText(unit);
    const TScpiLine again = ParseScpiLine(text);
    if (again.Error || again.Units.size() != 1 || ScpiText(again.Units[0]) != text) {
      Fail("a command in short form does not parse back to itself", text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t chunk = 1 + data[1] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

  TScpiLineSplitter splitter;
  TFuzzLaser laser(mode);
  TRemoteOptions options;
  options.AllowControl = (mode & 1) != 0;
  options.Version = "1";
  TRemoteSession session(laser, options, [](std::string_view written) {
    if (written.empty() || written.find('\n') != written.size() - 1) {
      Fail("a write that is not one answer line", written);
    }
  });
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    const std::string_view piece = bytes.substr(at, chunk);
    splitter.Feed(piece, [](std::optional<std::string_view> line) {
      if (line) CheckRoundTrip(*line);
    });
    if (splitter.Held() > TScpiLineSplitter::MaxLine + 1) Fail("a line held too long", piece);
    session.Receive(piece);
    laser.EndAll();
  }
  session.Receive("\n");
  laser.EndAll();
  if (session.Pending() != 0) Fail("commands left under way", bytes);
  return 0;
}
