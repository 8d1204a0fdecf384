// Records a short session with awkward texts into a folder and prints the file's path, for the
// check that an ordinary CSV reader (python3's csv module, and pandas where it is installed)
// reads the recorder's files without options.
#include <cstdio>
#include <string>

#include "logic/recorder/Recorder.h"
#include "logic/recorder/ValueFeed.h"

namespace {

// Half-past noon, 2024-05-01, in a zone two hours east of UTC, a reading every 250 ms.
class TSampleClock : public TStampClock {
 public:
  TStamp Now() override {
    TStamp s;
    s.Wall = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714559400000 + FMs));
    s.Mono = std::chrono::steady_clock::time_point(std::chrono::milliseconds(FMs));
    s.UtcOffsetMinutes = 120;
    FMs += 250;
    return s;
  }

 private:
  long long FMs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  TSampleClock clock;
  TRecorder recorder;
  recorder.Settings().Folder = argv[1];
  TValueFeed feed(clock, &recorder, nullptr);
  std::string error;
  if (!recorder.Start(1234, clock.Now(), error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  feed.OnConnect();
  feed.OnSN(1234);
  feed.OnCurrent(1, 12.5);
  feed.OnCurrent(2, 0.29);
  feed.OnMaxCurrent(1, 40);
  feed.OnFrequency(1, 200000.01);
  feed.OnTriggerMode(2, tmCW);
  feed.OnLaserON(true);
  feed.OnRunningTime(74045);
  feed.OnLaserError(93, "General protection (interlock is open).");
  feed.OnCommandReport(TCommandOutcome::Refused, "w62 \"1,5\"");
  feed.OnCommandReport(TCommandOutcome::NoReply, "r6\xB5 ");
  feed.OnLaserError(7, "Temperature, \"laser head\"\r\nout of range");
  feed.OnDisconnect();
  recorder.Stop();
  std::printf("%s\n", recorder.FileName().string().c_str());
  return 0;
}
