// The file a recording goes to. Rows reach it in whole: each flush is one write call of whole
// rows, so a program killed between flushes leaves only whole rows behind; a write that fails
// part-way is cut back to the last whole row. A kill that lands inside the system's copy of a
// flush can still leave part of a row at the end (Linux checks for a fatal signal between the
// pages of one write): CutPartRow takes it off again, which the recorder does to its earlier
// files at each start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

class TRecordFile {
 public:
  TRecordFile() = default;
  ~TRecordFile() { Close(); }
  TRecordFile(const TRecordFile&) = delete;
  TRecordFile& operator=(const TRecordFile&) = delete;

  // Creates Path, which must not exist yet. False with Error (the path and the system's reason)
  // when it exists or cannot be made; Exists then tells the first case.
  bool Create(const std::filesystem::path& Path, std::string& Error, bool& Exists);
  // Writes Data at the end of the file: all of it, or nothing (what a failed write left is cut
  // off again). False with Error when it failed, or when the file was deleted (or its folder) and
  // nothing written would be kept.
  bool Append(std::string_view Data, std::string& Error);
  void Close();

  bool IsOpen() const;

  // Cuts the file back to its last whole row: texts hold no line breaks, so the last CR LF ends
  // one. True when the file ends in a whole row (or is empty) now; false with Error when it could
  // not be read or cut.
  static bool CutPartRow(const std::filesystem::path& Path, std::string& Error);
  const std::filesystem::path& Path() const { return FPath; }
  std::uint64_t Size() const { return FSize; }

 private:
  std::string Failure(std::string_view What, int Code) const;

  std::filesystem::path FPath;
  std::uint64_t FSize = 0;
#if defined(_WIN32)
  void* FHandle = nullptr;
#else
  int FFd = -1;
#endif
};
