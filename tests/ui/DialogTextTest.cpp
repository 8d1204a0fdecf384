// The Qt-free halves of the dialogs: port texts, the port list, saved-log encodings, the about
// box's caption.
#include <gtest/gtest.h>

#include "ui/AboutFrm.h"
#include "ui/PortText.h"
#include "ui/TextEncoding.h"

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
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParsePortText(c.Text), c.Port) << '"' << c.Text << '"';
  }
}

TEST(PortText, ListItems) {
  using Names = std::vector<std::string>;
  const Names all = PortListItems(std::nullopt);
  ASSERT_EQ(all.size(), 256u);
  EXPECT_EQ(all.front(), "COM1");
  EXPECT_EQ(all[9], "COM10");
  EXPECT_EQ(all.back(), "COM256");

  struct {
    Names Present;
    Names Items;
  } cases[] = {
      {{}, {"No serial port present"}},
      {{"COM3", "COM36"}, {"COM3", "COM36"}},
      {{"LPT1", "com5"}, {"com5"}},
      {{"LPT1"}, {"No serial port present"}},
  };
  for (const auto& c : cases) EXPECT_EQ(PortListItems(c.Present), c.Items);
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
