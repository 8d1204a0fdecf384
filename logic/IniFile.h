// An INI file held in memory, and the integers it holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Integers as the settings file, the command line and the templates write them: optional sign,
// then decimal digits, or "$" / "0x" followed by hexadecimal digits. Nothing else, no blanks.
std::optional<std::int64_t> ParseIniInteger(std::string_view text);

// ---------------------------------------------------------------------------------------------
// An INI file held in memory: read once, changed in memory, written back in one piece.
// Section and key names are matched without regard to (ASCII) case. Every section and key is
// kept in its order, also those this program does not know; comment lines (";") stay where
// they were, blank lines are not kept. Text is UTF-8; a byte-order mark is kept, other bytes
// pass through unchanged. Not thread-safe: the UI thread owns it.
class TIniFile {
 public:
  TIniFile() = default;
  // Reads the file. A missing file is an empty one; a file that exists but cannot be read is
  // empty too, and ReadError() says why (UpdateFile then refuses to overwrite it).
  explicit TIniFile(std::filesystem::path FileName);

  // Replaces the content with this text (as if it had been read from FileName()).
  void SetText(std::string_view Text);
  // The file as UpdateFile writes it.
  std::string Text() const;

  const std::filesystem::path& FileName() const { return FFileName; }
  const std::string& ReadError() const { return FReadError; }
  bool HasBom() const { return FBom; }

  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Key) const;
  // The value, trimmed; nullopt when the key is absent.
  std::optional<std::string> Value(std::string_view Section, std::string_view Key) const;
  std::string ReadString(std::string_view Section, std::string_view Key,
                         std::string_view Default) const;
  // Missing, not an integer, or outside the 32-bit range: Default.
  std::int32_t ReadInteger(std::string_view Section, std::string_view Key,
                           std::int32_t Default) const;
  // 0 is false, any other integer true; missing or not an integer: Default.
  bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;
  // The section's keys in file order (first spelling of each).
  std::vector<std::string> SectionKeys(std::string_view Section) const;
  // The sections in file order.
  std::vector<std::string> Sections() const;

  // Sets a value; a new key goes at the end of its section, a new section at the end of the
  // file. Line breaks in a value become blanks, so one value stays one line.
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Key, std::int64_t Value);
  void WriteBool(std::string_view Section, std::string_view Key, bool Value);

  // Writes the whole file: into a temporary file beside it, flushed to disk, then renamed over
  // it, so a crash or a full disk never leaves half a file. On failure returns false and puts
  // into Error a message naming the path and the system's reason; the old file is left as it was.
  bool UpdateFile(std::string& Error) const;

  struct TLine {
    std::string Key;  // empty: a line kept verbatim (comment or text without "=")
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
  };

 private:
  TSection* FindSection(std::string_view Section);
  const TSection* FindSection(std::string_view Section) const;

  std::filesystem::path FFileName;
  std::vector<TLine> FLeadingLines;  // before the first section
  std::vector<TSection> FSections;
  std::string FReadError;
  std::string FLineBreak;  // as the file had it; the platform's own for a new file
  bool FBom = false;
};
