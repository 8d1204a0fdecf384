#include "logic/recorder/Recorder.h"

#include <system_error>

#include "logic/recorder/Csv.h"

namespace {

std::string Quoted(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return "\"" + std::string(text.begin(), text.end()) + "\"";
}

// A recording killed inside a write may end in part of a row: cut off at the next start in its
// folder. Files written within the last minute are left alone: another program may be recording
// into one of them.
void CutPartRows(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    if (!name.starts_with(u8"laser-") || !name.ends_with(u8".csv")) continue;
    std::error_code fileError;
    if (!it->is_regular_file(fileError)) continue;
    const auto written = it->last_write_time(fileError);
    if (fileError || now - written < std::chrono::minutes(1)) continue;
    std::string ignored;
    TRecordFile::CutPartRow(it->path(), ignored);
  }
}

}  // namespace

TRecorder::~TRecorder() {
  OnFailed = nullptr;
  Stop();
}

bool TRecorder::Start(std::optional<int> SN, const TStamp& Now, std::string& Error) {
  Stop();
  const std::filesystem::path& folder = FSettings.Folder;
  if (folder.empty()) {
    Error = "No folder is set for recordings.";
    return false;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      Error = "Cannot create the folder " + Quoted(folder) + ": " + ec.message();
      return false;
    }
  }
  CutPartRows(folder);
  const std::string base = "laser-" + (SN ? std::to_string(*SN) : std::string("unknown")) + "-" +
                           FileTimeStamp(Now.UnixMs(), Now.UtcOffsetMinutes);
  // Two starts within a second would take the same name; the earlier file is never overwritten.
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? base + ".csv" : base + "-" + std::to_string(n) + ".csv";
    bool exists = false;
    if (FFile.Create(folder / name, Error, exists)) break;
    if (!exists || n == 100) return false;
  }
  Error.clear();  // a name found taken on the way is no failure
  FBuffer.clear();
  FRowsBuffered = FRowsWritten = 0;
  FBegan = Now.Mono;
  FAuto = false;
  if (!FFile.Append(RecordHeader, Error)) {
    FFile.Close();
    return false;
  }
  return true;
}

void TRecorder::Stop() {
  if (!Recording()) return;
  if (Write()) FFile.Close();
}

bool TRecorder::LaserReady(std::optional<int> SN, const TStamp& Now, std::string& Error) {
  if (!FSettings.AutoRecord || Recording()) return true;
  if (!Start(SN, Now, Error)) return false;
  FAuto = true;
  return true;
}

void TRecorder::LaserGone() {
  if (AutoStarted()) Stop();
}

bool TRecorder::Add(const TRecordRow& Row) {
  if (!Recording()) return false;
  const bool wasEmpty = FBuffer.empty();
  AppendRecordRow(FBuffer, Row, FBegan);
  ++FRowsBuffered;
  if (FBuffer.size() >= FlushBytes) Write();
  return wasEmpty && !FBuffer.empty();
}

void TRecorder::Flush() {
  if (Recording()) Write();
}

bool TRecorder::Write() {
  if (FBuffer.empty()) return true;
  std::string error;
  if (!FFile.Append(FBuffer, error)) {
    Fail(error);
    return false;
  }
  FBuffer.clear();
  FRowsWritten += FRowsBuffered;
  FRowsBuffered = 0;
  return true;
}

void TRecorder::Fail(const std::string& Error) {
  FFile.Close();
  FBuffer.clear();
  FRowsBuffered = 0;
  if (OnFailed) OnFailed("Recording stopped. " + Error);
}
