// What the recorder's tests share: a clock the test sets, a temporary folder, and a strict reader
// of the CSV the recorder writes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "logic/recorder/Clock.h"

namespace rectest {

// 2024-05-01T14:03:22.123Z
inline constexpr std::int64_t BaseUnixMs = 1714572202123;

inline TStamp At(std::int64_t ms, int offsetMinutes = 120) {
  TStamp s;
  s.Wall = std::chrono::system_clock::time_point(std::chrono::milliseconds(BaseUnixMs + ms));
  s.Mono = std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
  s.UtcOffsetMinutes = offsetMinutes;
  return s;
}

class TTestClock : public TStampClock {
 public:
  TStamp Now() override { return At(Ms, Offset); }
  std::int64_t Ms = 0;
  int Offset = 120;
};

class TTempDir {
 public:
  TTempDir() {
    char pattern[] = "/tmp/laser-recorder-XXXXXX";
    FPath = mkdtemp(pattern);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(FPath, ec);
  }
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// RFC 4180, CR LF after every record. Nothing when the text is not that: a record cut short, a
// bare quote, a lone CR or LF.
inline std::optional<std::vector<std::vector<std::string>>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  std::size_t i = 0;
  bool fieldStarted = false;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"' && !fieldStarted && field.empty()) {
      ++i;
      for (;;) {
        if (i >= text.size()) return std::nullopt;
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += text[i++];
      }
      fieldStarted = true;
      if (i < text.size() && text[i] != ',' && text[i] != '\r') return std::nullopt;
      continue;
    }
    if (c == ',') {
      record.push_back(field);
      field.clear();
      fieldStarted = false;
      ++i;
      continue;
    }
    if (c == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') return std::nullopt;
      record.push_back(field);
      records.push_back(record);
      record.clear();
      field.clear();
      fieldStarted = false;
      i += 2;
      continue;
    }
    if (c == '\n' || c == '"') return std::nullopt;
    field += c;
    fieldStarted = true;
    ++i;
  }
  if (!record.empty() || !field.empty() || fieldStarted)
    return std::nullopt;  // no CR LF at the end
  return records;
}

inline constexpr const char* Header[] = {"time",     "elapsed_s", "sn",   "branch",
                                         "quantity", "value",     "unit", "text"};

}  // namespace rectest
