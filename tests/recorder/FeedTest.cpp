// Rows made from the laser's events: which quantity, branch, value, unit and text each becomes,
// the serial number column, and the packed actual current.
#include <gtest/gtest.h>

#include <cmath>

#include "RecorderTestUtil.h"
#include "logic/recorder/Recorder.h"
#include "logic/recorder/ValueFeed.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// A feed into a recording; the rows as the file holds them, header left out.
class TFeedRig {
 public:
  TFeedRig() {
    Recorder.Settings().Folder = Dir.Path();
    std::string error;
    EXPECT_TRUE(Recorder.Start(std::nullopt, rectest::At(0), error)) << error;
    Feed.OnArmFlush = [this] { ++Arms; };
  }
  Rows Take() {
    Recorder.Flush();
    const std::string text = rectest::ReadFile(Recorder.FileName());
    auto rows = rectest::ParseCsv(text);
    EXPECT_TRUE(rows) << text;
    if (!rows || rows->empty()) return {};
    Rows all(rows->begin() + 1, rows->end());
    Rows fresh(all.begin() + static_cast<std::ptrdiff_t>(FSeen), all.end());
    FSeen = all.size();
    return fresh;
  }

  rectest::TTempDir Dir;
  rectest::TTestClock Clock;
  TRecorder Recorder;
  TValueFeed Feed{Clock, &Recorder, nullptr};
  int Arms = 0;

 private:
  std::size_t FSeen = 0;
};

// sn, branch, quantity, value, unit, text: the columns after the two times.
std::vector<std::string> Tail(const std::vector<std::string>& row) {
  return std::vector<std::string>(row.begin() + 2, row.end());
}

TEST(ValueFeed, EachEventBecomesItsRow) {
  TFeedRig rig;
  const struct {
    std::function<void(TValueFeed&)> Event;
    std::vector<std::vector<std::string>> Rows;  // sn, branch, quantity, value, unit, text
  } cases[] = {
      {[](TValueFeed& f) { f.OnConnect(); }, {{"", "0", "connection", "1", "", ""}}},
      {[](TValueFeed& f) { f.OnSN(1234); }, {{"1234", "0", "serial_number", "1234", "", ""}}},
      {[](TValueFeed& f) { f.OnCurrent(1, 12.5); }, {{"1234", "1", "current", "12.5", "A", ""}}},
      {[](TValueFeed& f) { f.OnMaxCurrent(2, 30); }, {{"1234", "2", "current_max", "30", "A", ""}}},
      {[](TValueFeed& f) { f.OnFrequency(2, 20000.25); },
       {{"1234", "2", "frequency", "20000.25", "Hz", ""}}},
      {[](TValueFeed& f) { f.OnTriggerMode(1, tmExternal); },
       {{"1234", "1", "trigger_mode", "1", "", "External"}}},
      {[](TValueFeed& f) { f.OnTriggerMode(0, tmCW); },
       {{"1234", "0", "trigger_mode", "2", "", "CW"}}},
      {[](TValueFeed& f) { f.OnLaserON(true); }, {{"1234", "0", "emission", "1", "", ""}}},
      {[](TValueFeed& f) { f.OnLaserON(false); }, {{"1234", "0", "emission", "0", "", ""}}},
      {[](TValueFeed& f) { f.OnRunningTime(74045); },
       {{"1234", "0", "running_time", "74045", "min", ""}}},
      {[](TValueFeed& f) { f.OnLaserError(93, "General protection (interlock is open)."); },
       {{"1234", "0", "error_code", "93", "", "General protection (interlock is open)."}}},
      {[](TValueFeed& f) { f.OnCommandReport(TCommandOutcome::Answered, "r61"); }, {}},
      {[](TValueFeed& f) { f.OnCommandReport(TCommandOutcome::Refused, "w62 99.00"); },
       {{"1234", "0", "command_refused", "", "", "w62 99.00"}}},
      {[](TValueFeed& f) { f.OnCommandReport(TCommandOutcome::NoReply, "r61"); },
       {{"1234", "0", "command_timeout", "", "", "r61"}}},
      {[](TValueFeed& f) { f.OnCommandReport(TCommandOutcome::NotSent, "w60 1"); },
       {{"1234", "0", "command_not_sent", "", "", "w60 1"}}},
      {[](TValueFeed& f) { f.OnCommandReport(TCommandOutcome::Cancelled, "w60 1"); },
       {{"1234", "0", "command_cancelled", "", "", "w60 1"}}},
      // the laser that goes is named in its last row; the next one is not known yet
      {[](TValueFeed& f) { f.OnDisconnect(); }, {{"1234", "0", "connection", "0", "", ""}}},
      {[](TValueFeed& f) { f.OnDisconnect(); }, {}},
      {[](TValueFeed& f) { f.OnConnect(); }, {{"", "0", "connection", "1", "", ""}}},
      {[](TValueFeed& f) { f.OnCurrent(2, 1); }, {{"", "2", "current", "1", "A", ""}}},
  };
  int step = 0;
  for (const auto& c : cases) {
    rig.Clock.Ms += 100;
    c.Event(rig.Feed);
    const Rows rows = rig.Take();
    ASSERT_EQ(rows.size(), c.Rows.size()) << "step " << step;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(Tail(rows[i]), c.Rows[i]) << "step " << step;
      EXPECT_EQ(rows[i][1], std::to_string(rig.Clock.Ms / 1000) + "." +
                                std::string(3 - std::to_string(rig.Clock.Ms % 1000).size(), '0') +
                                std::to_string(rig.Clock.Ms % 1000));
    }
    ++step;
  }
  EXPECT_EQ(rig.Arms, step - 2);  // every flush emptied the buffer; two events made no row
}

// A current read whose table entry has a second value group reports nominal + actual * 0.00001;
// it becomes two rows. Which branch is packed follows the table in force.
TEST(ValueFeed, APackedCurrentBecomesNominalAndActualRows) {
  TFeedRig rig;
  TCommandList list;
  list.Add(lcReadCurrent, 1, "r61", "\\A(\\d+.\\d\\d) A (\\d+.\\d\\d) A\\Z", {-1, 1, 2}, "");
  list.Add(lcReadCurrent, 2, "r62", "\\A(\\d+.\\d\\d) A\\Z", {-1, 1}, "");
  rig.Feed.SetCommandList(&list);
  const struct {
    std::uint8_t Branch;
    double Nominal;
    double Actual;  // NaN: not packed
    const char* NominalText;
    const char* ActualText;
  } cases[] = {
      {1, 20.00, 19.87, "20", "19.87"},
      {1, 0.29, 0, "0.29", "0"},  // 0.29 * 100 is just below 29
      {1, 12.57, 12.56, "12.57", "12.56"},
      {1, 999.99, 99.99, "999.99", "99.99"},
      {1, 20.00, 600.5, "20", "600.5"},
      {1, 0, 0.01, "0", "0.01"},
      {2, 20.0001987, std::nan(""), "20.0001987", nullptr},
  };
  for (const auto& c : cases) {
    const double value = std::isnan(c.Actual) ? c.Nominal : c.Nominal + c.Actual * 0.00001;
    rig.Feed.OnCurrent(c.Branch, value);
    const Rows rows = rig.Take();
    ASSERT_EQ(rows.size(), c.ActualText ? 2u : 1u) << c.Nominal;
    EXPECT_EQ(rows[0][4], "current");
    EXPECT_EQ(rows[0][5], c.NominalText);
    if (c.ActualText) {
      EXPECT_EQ(rows[1][4], "current_actual");
      EXPECT_EQ(rows[1][5], c.ActualText);
      EXPECT_EQ(rows[1][3], std::to_string(c.Branch));
      EXPECT_EQ(rows[1][6], "A");
    }
  }
  // The unpacking alone, across the whole range of two-decimal values.
  for (int nominal = 0; nominal <= 99999; nominal += 7) {
    for (int actual : {0, 1, 50, 999, 5000, 9999, 49999, 50000, 99999}) {
      const TPackedCurrent c = UnpackCurrent(nominal / 100.0 + actual / 100.0 * 0.00001);
      ASSERT_EQ(std::lround(c.Nominal * 100), nominal);
      ASSERT_EQ(std::lround(c.Actual * 100), actual) << nominal;
    }
  }
}

}  // namespace
