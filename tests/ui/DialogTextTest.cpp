// The Qt-free halves of the dialogs: port texts, the port list, saved-log encodings, the about
// box's caption.
#include <gtest/gtest.h>

#include "logic/PortText.h"
#include "logic/TextEncoding.h"
#include "ui/AboutFrm.h"

namespace {

TEST(PortText, Parse) {
  struct {
    const char* Text;
    std::optional<int> Port;
  } cases[] = {
      {"com7", 7},
      {" COM7 ", 7},
      {"COM07", 7},
      {"\tcom256\r\n", 256},
      {"COM1", 1},
      {"COM 12", 12},
      {"COM0", std::nullopt},
      {"COM257", std::nullopt},
      {"COM3x", std::nullopt},
      {"7", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"COM", std::nullopt},
      {"COM-3", std::nullopt},
      {"CON7", std::nullopt},
      {"COM99999999999999999999", std::nullopt},
      {"No serial port present", std::nullopt},
      {"COM7 x", std::nullopt},
      // A drop-down item as the list shows it (also when completed into the field).
      {"COM7 \u2014 /dev/ttyS6", 7},
      {"COM33 \u2014 /dev/ttyUSB0, FT232R USB UART", 33},
      {" com65 \u2014 /dev/ttyACM0", 65},
      {"COM7\u2014/dev/ttyS6", std::nullopt},
      {"COM7 - /dev/ttyS6", std::nullopt},
      {"COM300 \u2014 /tmp/com/COM300", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParsePortText(c.Text), c.Port) << '"' << c.Text << '"';
  }
}

TEST(PortText, ListItems) {
  using TItems = std::vector<TPortItem>;
  const TItems all = PortListItems(std::nullopt);
  ASSERT_EQ(all.size(), 256u);
  EXPECT_EQ(all.front(), (TPortItem{"COM1", "COM1"}));
  EXPECT_EQ(all[9], (TPortItem{"COM10", "COM10"}));
  EXPECT_EQ(all.back(), (TPortItem{"COM256", "COM256"}));

  struct {
    std::vector<TPortInfo> Present;
    TItems Items;
  } cases[] = {
      {{}, {{"No serial port present", "No serial port present"}}},
      // Windows: the registry's names alone.
      {{{"COM3", "", ""}, {"COM36", "", ""}}, {{"COM3", "COM3"}, {"COM36", "COM36"}}},
      {{{"LPT1", "", ""}, {"com5", "", ""}}, {{"com5", "com5"}}},
      {{{"LPT1", "", ""}}, {{"No serial port present", "No serial port present"}}},
      // Linux: the device after the name, and a USB adapter's product name.
      {{{"COM1", "/dev/ttyS0", ""},
        {"COM33", "/dev/ttyUSB0", "FT232R USB UART"},
        {"COM65", "/dev/ttyACM0", "Laser Controller"},
        {"COM5", "/dev/pts/3", ""}},
       {{"COM1 \u2014 /dev/ttyS0", "COM1"},
        {"COM33 \u2014 /dev/ttyUSB0, FT232R USB UART", "COM33"},
        {"COM65 \u2014 /dev/ttyACM0, Laser Controller", "COM65"},
        {"COM5 \u2014 /dev/pts/3", "COM5"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortListItems(c.Present), c.Items);
    for (const TPortItem& item : PortListItems(c.Present)) {
      if (item.Name != kNoSerialPort) {
        EXPECT_EQ(ParsePortText(item.Text), ParsePortText(item.Name)) << item.Text;
      }
    }
  }
}

TEST(TextEncoding, Encode) {
  struct {
    const char* Utf8;
    TTextEncoding Encoding;
    std::string Bytes;
  } cases[] = {
      {"COM7 ok", TTextEncoding::teUtf8, "COM7 ok"},
      {"\xC3\xA4\xE2\x82\xAC", TTextEncoding::teUtf8, "\xC3\xA4\xE2\x82\xAC"},
      {"\xC3\xA4", TTextEncoding::teLatin1, "\xE4"},
      {"\xC3\xA4", TTextEncoding::teWindows1252, "\xE4"},
      {"\xE2\x82\xAC", TTextEncoding::teWindows1252, "\x80"},  // euro sign
      {"\xE2\x82\xAC", TTextEncoding::teLatin1, "?"},
      {"\xE2\x80\x9C"
       "x"
       "\xE2\x80\x9D",
       TTextEncoding::teWindows1252, "\x93x\x94"},
      {"\xC2\x80", TTextEncoding::teWindows1252, "?"},  // a C1 control has no place there
      {"\xC2\x80", TTextEncoding::teLatin1, "\x80"},
      {"\xE4\xB8\xAD", TTextEncoding::teWindows1252, "?"},
      {"a\xFF"
       "b",
       TTextEncoding::teLatin1, "a?b"},  // not UTF-8
      {"a\xFF"
       "b",
       TTextEncoding::teUtf8,
       "a\xEF\xBF\xBD"
       "b"},
      {"\xE2\x82", TTextEncoding::teLatin1, "??"},  // cut short
      {"\xC0\xAF", TTextEncoding::teLatin1, "??"},  // overlong
      {"\xF0\x9F\x98\x80", TTextEncoding::teUtf8, "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeText(c.Utf8, c.Encoding), c.Bytes)
        << c.Utf8 << " as " << EncodingName(c.Encoding);
  }
}

TEST(AboutBox, CaptionRule) {
  struct {
    const char* Name;
    const char* Caption;
  } cases[] = {
      {"Laser Control", "About Corvane Laser Control"},
      {"Corvane Laser Control", "About Corvane Laser Control"},
      {"Laser Control by Corvane", "About Laser Control by Corvane"},
  };
  for (const auto& c : cases) EXPECT_EQ(AboutCaption(c.Name), c.Caption);
}

}  // namespace
