// The command lines of a remote client: headers in every form, suffixes, parameters and
// separators, and the SCPI error each kind of mistake gives; lines cut out of a byte stream.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "logic/remote/Scpi.h"

namespace {

// The commands of a line in short form, " | " between them, then " ! <code>" for the error that
// ended the line.
std::string Parsed(std::string_view line) {
  const TScpiLine parsed = ParseScpiLine(line);
  std::string out;
  for (const TScpiUnit& unit : parsed.Units) out += (out.empty() ? "" : " | ") + ScpiText(unit);
  if (parsed.Error) out += (out.empty() ? "! " : " ! ") + std::to_string(parsed.Error->Code);
  return out;
}

struct TCase {
  std::string Line;
  std::string Expected;
};

TEST(Scpi, HeadersInEveryForm) {
  const TCase cases[] = {
      {"*IDN?", "*IDN?"},
      {"  *idn?  ", "*IDN?"},
      {"*RST", "*RST"},
      {"*TST?", "*TST?"},
      {"*cls", "*CLS"},
      {"*OPC?", "*OPC?"},
      {"SYSTem:ERRor?", "SYST:ERR?"},
      {"syst:err:next?", "SYST:ERR?"},
      {":SYSTEM:ERROR:NEXT?", "SYST:ERR?"},
      {"SYST:STATE?", "SYST:STAT?"},
      {"SOUR:CURR?", "SOUR1:CURR?"},
      {"source2:current?", "SOUR2:CURR?"},
      {"SOUR1:CURR:ACT?", "SOUR1:CURR:ACT?"},
      {"SOURCE2:CURRENT:MAXIMUM?", "SOUR2:CURR:MAX?"},
      {"SOUR2:FREQuency?", "SOUR2:FREQ?"},
      {"TRIGger2:SOURce?", "TRIG2:SOUR?"},
      {"OUTP?", "OUTP?"},
      {"output:state?", "OUTP?"},
      {"LASer:ERRor?", "LAS:ERR?"},
      {"SYST:SAVE", "SYST:SAVE"},
      {"SYSTEM:RESET", "SYST:RES"},
      {"SYST:CLEar", "SYST:CLE"},
      {"SYST:COMMunicate:RAW? \"r61\"", "SYST:COMM:RAW? \"r61\""},
  };
  for (const TCase& c : cases) EXPECT_EQ(Parsed(c.Line), c.Expected) << c.Line;
}

TEST(Scpi, HeaderMistakes) {
  const TCase cases[] = {
      {"*IDN", "! -113"},         // a query written as a command
      {"*OPC", "! -113"},         //
      {"SYST:SAVE?", "! -113"},   // a command written as a query
      {"SYST:ERR", "! -113"},     //
      {"SYST:ERRO?", "! -113"},   // neither the short nor the long form
      {"SOURC:CURR?", "! -113"},  //
      {"CURR?", "! -113"},        // SOURce may not be left out
      {"*FOO?", "! -113"},        //
      {"*IDN:X?", "! -113"},      //
      {"OUTP1 ON", "! -113"},     // a suffix where the node takes none
      {"SOUR:CURR2?", "! -113"},  //
      {"SOUR1A:CURR?", "! -113"},
      {"SOUR3:CURR?", "! -114"},  // branches are 1 and 2
      {"SOUR0:CURR?", "! -114"},
      {"TRIG99999999999:SOUR?", "! -114"},
      {"SOUR::CURR?", "! -102"},
      {"SOUR:CURR:?", "! -102"},
      {"SOUR:CURR=5", "! -102"},
      {"OUTP,ON", "! -102"},
      {"SOUR:CURR?X", "! -102"},
      {"?", "! -102"},
      {":", "! -102"},
      {"\x01OUTP OFF", "! -102"},
      {"OUTP\xC4 OFF", "! -102"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Parsed(c.Line), c.Expected) << c.Line;
}

TEST(Scpi, Parameters) {
  const TCase cases[] = {
      {"SOUR2:CURR 12.5", "SOUR2:CURR 12.50"},
      {"SOUR:CURR 12.5A", "SOUR1:CURR 12.50"},
      {"SOUR:CURR\t12.5 a ", "SOUR1:CURR 12.50"},
      {"SOUR:CURR +.5", "SOUR1:CURR 0.50"},
      {"SOUR:CURR 7.", "SOUR1:CURR 7.00"},
      {"SOUR:CURR 1.25e1", "SOUR1:CURR 12.50"},
      {"SOUR:CURR 1.005", "SOUR1:CURR 1.00"},  // sent as "%.2f" would send it
      {"SOUR:CURR -3", "SOUR1:CURR -3.00"},    // the range is the session's to check
      {"SOUR:CURR 12,5", "! -108"},            // "." is the only decimal separator
      {"SOUR:CURR 1, 2", "! -108"},
      {"SOUR:CURR", "! -109"},
      {"SOUR:CURR? 5", "! -108"},
      {"SOUR:CURR ON", "! -104"},
      {"SOUR:CURR 1O.5", "! -104"},
      {"SOUR:CURR 1O", "! -131"},
      {"SOUR:CURR .", "! -104"},
      {"SOUR:CURR \"5\"", "! -104"},
      {"SOUR:CURR 12.5 HZ", "! -131"},
      {"SOUR:CURR 12.5 MA", "! -131"},
      {"SOUR:CURR 1E", "! -131"},
      {"SOUR:CURR 1e999", "! -222"},
      {"SOUR:FREQ 20 kHz", "SOUR1:FREQ 20000.00"},
      {"SOUR2:FREQ 1500HZ", "SOUR2:FREQ 1500.00"},
      {"SOUR:FREQ 2.5e3", "SOUR1:FREQ 2500.00"},
      {"SOUR:FREQ 1 A", "! -131"},
      {"TRIG:SOUR EXT", "TRIG1:SOUR EXT"},
      {"TRIGGER2:SOURCE internal", "TRIG2:SOUR INT"},
      {"trig:sour cw", "TRIG1:SOUR CW"},
      {"TRIG:SOUR EXTERN", "! -224"},
      {"TRIG:SOUR BUS", "! -224"},
      {"TRIG:SOUR", "! -109"},
      {"OUTP ON", "OUTP ON"},
      {"OUTPUT:STATE 0", "OUTP OFF"},
      {"outp:stat off", "OUTP OFF"},
      {"OUTP 1", "OUTP ON"},
      {"OUTP 2", "! -224"},
      {"OUTP 1.0", "! -224"},
      {"OUTP ON, OFF", "! -108"},
      {"SYST:COMM:RAW? 'w61 1'", "SYST:COMM:RAW? \"w61 1\""},
      {"SYST:COMM:RAW? \"say \"\"hi\"\"\"", "SYST:COMM:RAW? \"say \"\"hi\"\"\""},
      {"SYST:COMM:RAW? \"r61", "! -151"},
      {"SYST:COMM:RAW? \"r61\rr62\"", "! -151"},
      {"SYST:COMM:RAW? r61", "! -104"},
      {"SYST:COMM:RAW? \"r61\" x", "! -102"},
      {"SYST:COMM:RAW? \"  \"", "! -224"},
      {"SYST:COMM:RAW?", "! -109"},
      {"SYST:COMM:RAW? \"" + std::string(256, 'x') + "\"", "! -223"},
      {"SYST:COMM:RAW \"r61\"", "! -113"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Parsed(c.Line), c.Expected) << c.Line;
}

TEST(Scpi, Separators) {
  const TCase cases[] = {
      {"OUTP OFF;SOUR:CURR?", "OUTP OFF | SOUR1:CURR?"},
      {"OUTP OFF ; SOUR2:CURR 3", "OUTP OFF | SOUR2:CURR 3.00"},
      {"SOUR:CURR 1;:SOUR2:CURR 2", "SOUR1:CURR 1.00 | SOUR2:CURR 2.00"},
      {"OUTP OFF;", "OUTP OFF"},
      {";; *IDN?; ;", "*IDN?"},
      {"", ""},
      {"SYST:COMM:RAW? \"a;b\";*OPC?", "SYST:COMM:RAW? \"a;b\" | *OPC?"},
      {"SYST:COMM:RAW? 'it''s;x'", "SYST:COMM:RAW? \"it's;x\""},
      // Every command starts from the root: FREQ alone is no header.
      {"SOUR:CURR?;FREQ?", "SOUR1:CURR? ! -113"},
      // A mistake ends the line: what came before it runs, nothing after it does.
      {"*IDN?;BOGUS;OUTP ON", "*IDN? ! -113"},
      {"SOUR:CURR 1;SOUR:CURR 1O;OUTP ON", "SOUR1:CURR 1.00 ! -131"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Parsed(c.Line), c.Expected) << c.Line;
}

TEST(Scpi, OnlyCommandsThatChangeTheLaserNeedControl) {
  const TCase cases[] = {
      {"SOUR:CURR 1", "1"},  {"SOUR:CURR?", "0"},     {"SOUR:FREQ 1", "1"},
      {"TRIG:SOUR CW", "1"}, {"TRIG:SOUR?", "0"},     {"OUTP ON", "1"},
      {"OUTP OFF", "0"},     {"OUTP?", "0"},          {"SYST:SAVE", "1"},
      {"SYST:RES", "1"},     {"SYST:CLE", "1"},       {"SYST:COMM:RAW? \"r61\"", "1"},
      {"LAS:ERR?", "0"},     {"SOUR:CURR:MAX?", "0"}, {"*RST", "0"},
  };
  for (const TCase& c : cases) {
    const TScpiLine parsed = ParseScpiLine(c.Line);
    ASSERT_EQ(parsed.Units.size(), 1u) << c.Line;
    EXPECT_EQ(ChangesLaser(parsed.Units[0]) ? "1" : "0", c.Expected) << c.Line;
  }
}

TEST(Scpi, ErrorsAsSystemErrorAnswersThem) {
  EXPECT_EQ(scpi::UndefinedHeader.Format(), "-113,\"Undefined header\"");
  EXPECT_EQ(scpi::NoLaser.Format(), "-241,\"Hardware missing; no laser ready\"");
  EXPECT_EQ(ScpiQuoted("a \"b\""), "\"a \"\"b\"\"\"");
}

// What a byte stream gives, line by line: the text, or "<refused>".
std::vector<std::string> Lines(TScpiLineSplitter& splitter,
                               const std::vector<std::string>& chunks) {
  std::vector<std::string> out;
  for (const std::string& chunk : chunks) {
    splitter.Feed(chunk, [&](std::optional<std::string_view> line) {
      out.push_back(line ? std::string(*line) : "<refused>");
    });
  }
  return out;
}

TEST(Scpi, LinesFromAByteStream) {
  using V = std::vector<std::string>;
  const std::string max(TScpiLineSplitter::MaxLine, 'x');
  struct {
    V Chunks;
    V Lines;
  } cases[] = {
      {{"*IDN?\n"}, {"*IDN?"}},
      {{"*IDN?\r\nOUTP?\n"}, {"*IDN?", "OUTP?"}},
      {{"*ID", "N?\r", "\n", "OUTP", "?\n"}, {"*IDN?", "OUTP?"}},
      {{"\n\r\n"}, {"", ""}},
      {{"no end yet"}, {}},
      {{max + "\r\n"}, {max}},
      {{max, "\r", "\n"}, {max}},
      {{max + "x\n*IDN?\n"}, {"<refused>", "*IDN?"}},
      {{max + "\rx\n"}, {"<refused>"}},
      {{max, "x", "yz", "\n", "*IDN?\n"}, {"<refused>", "*IDN?"}},
      {{max + "x"}, {}},              // the last byte may be the CR of a line end
      {{max + "xy"}, {"<refused>"}},  // refused at once, not at its end
  };
  for (const auto& c : cases) {
    TScpiLineSplitter splitter;
    EXPECT_EQ(Lines(splitter, c.Chunks), c.Lines) << c.Chunks.front().substr(0, 20);
  }
}

TEST(Scpi, AVeryLongLineIsNotKept) {
  TScpiLineSplitter splitter;
  const std::string block(64 * 1024, 'A');
  std::vector<std::string> lines;
  for (int i = 0; i < 16; ++i) {  // 1 MB without a line end
    lines = Lines(splitter, {block});
    EXPECT_LE(splitter.Held(), TScpiLineSplitter::MaxLine + 1);
    EXPECT_EQ(lines, (i == 0 ? std::vector<std::string>{"<refused>"} : std::vector<std::string>{}));
  }
  EXPECT_EQ(Lines(splitter, {"AAAA\nOUTP OFF\n"}), std::vector<std::string>{"OUTP OFF"});
}

}  // namespace
