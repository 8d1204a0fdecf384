// The recorder's file: its name, the flush contract, whole rows after a kill, a write error.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "RecorderTestUtil.h"
#include "logic/recorder/Recorder.h"

namespace {

namespace fs = std::filesystem;
using rectest::At;

// The n-th row of a run: texts of every kind and length, so that rows cross the file's pages.
TRecordRow NthRow(int n) {
  TRecordRow row;
  row.Time = At(1000 + n);
  row.SN = 1234;
  row.Branch = static_cast<std::uint8_t>(n % 3);
  row.Quantity = n % 2 ? TQuantity::Current : TQuantity::CommandRefused;
  row.Value = n % 2 ? n / 100.0 : std::numeric_limits<double>::quiet_NaN();
  if (n % 2 == 0) row.Text = "w6" + std::to_string(n) + " \"" + std::string(n % 97, ',') + "\"";
  return row;
}

std::string Expected(int n) {
  std::string line;
  AppendRecordRow(line, NthRow(n), At(0).Mono);
  return line;
}

std::vector<fs::path> Files(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
  return files;
}

TEST(Recorder, NamesANewFileForEachStartAndWritesTheHeader) {
  rectest::TTempDir dir;
  TRecorder r;
  r.Settings().Folder = dir.Path() / "made" / "when missing";
  std::string error;
  const struct {
    std::optional<int> SN;
    std::int64_t Ms;
    const char* Name;
  } starts[] = {
      {1234, 0, "laser-1234-20240501-160322.csv"},
      // the same second again: the earlier file stays
      {1234, 500, "laser-1234-20240501-160322-2.csv"},
      {1234, 700, "laser-1234-20240501-160322-3.csv"},
      {std::nullopt, 1000, "laser-unknown-20240501-160323.csv"},
      {7, 3600000, "laser-7-20240501-170322.csv"},
  };
  for (const auto& s : starts) {
    ASSERT_TRUE(r.Start(s.SN, At(s.Ms), error)) << error;
    EXPECT_EQ(error, "") << "a name found taken on the way is no error";
    EXPECT_TRUE(r.Recording());
    EXPECT_EQ(r.FileName(), r.Settings().Folder / s.Name);
    EXPECT_EQ(rectest::ReadFile(r.FileName()), RecordHeader);
  }
  r.Stop();
  EXPECT_FALSE(r.Recording());
  EXPECT_EQ(Files(r.Settings().Folder).size(), std::size(starts));

  // A folder that cannot be made, and none at all.
  std::ofstream(dir.Path() / "plain") << "x";
  r.Settings().Folder = dir.Path() / "plain" / "sub";
  EXPECT_FALSE(r.Start(1, At(0), error));
  EXPECT_NE(error.find((dir.Path() / "plain" / "sub").string()), std::string::npos) << error;
  r.Settings().Folder.clear();
  EXPECT_FALSE(r.Start(1, At(0), error));
  EXPECT_FALSE(r.Recording());
}

TEST(Recorder, RowsWaitForTheFlushTimerOrAFullBufferOrTheStop) {
  rectest::TTempDir dir;
  TRecorder r;
  r.Settings().Folder = dir.Path();
  std::string error;
  EXPECT_FALSE(r.Add(NthRow(1)));  // not recording: nothing happens
  ASSERT_TRUE(r.Start(1234, At(0), error)) << error;
  const std::string header(RecordHeader);

  // The first row into an empty buffer arms the timer, the others wait with it.
  EXPECT_TRUE(r.Add(NthRow(1)));
  EXPECT_FALSE(r.Add(NthRow(2)));
  EXPECT_TRUE(r.Pending());
  EXPECT_EQ(rectest::ReadFile(r.FileName()), header);
  r.Flush();
  EXPECT_FALSE(r.Pending());
  EXPECT_EQ(rectest::ReadFile(r.FileName()), header + Expected(1) + Expected(2));
  EXPECT_EQ(r.RowsWritten(), 2u);
  EXPECT_TRUE(r.Add(NthRow(3)));

  // A buffer past FlushBytes goes at once, in whole rows.
  std::string expected = header + Expected(1) + Expected(2) + Expected(3);
  int n = 4;
  while (r.Pending()) {
    r.Add(NthRow(n));
    expected += Expected(n++);
    ASSERT_LT(expected.size(), 2 * TRecorder::FlushBytes);
  }
  EXPECT_EQ(rectest::ReadFile(r.FileName()), expected);
  EXPECT_FALSE(r.Pending());
  EXPECT_GE(expected.size(), TRecorder::FlushBytes);

  EXPECT_TRUE(r.Add(NthRow(n)));
  expected += Expected(n);
  r.Stop();
  EXPECT_EQ(rectest::ReadFile(r.FileName()), expected);
  EXPECT_FALSE(r.Add(NthRow(n + 1)));
}

TEST(Recorder, AutoRecordRecordsEachReadyConnectionButNotTheOperatorsOwn) {
  rectest::TTempDir dir;
  TRecorder r;
  r.Settings().Folder = dir.Path();
  std::string error;
  ASSERT_TRUE(r.LaserReady(1234, At(0), error));
  EXPECT_FALSE(r.Recording());  // AutoRecord off

  r.Settings().AutoRecord = true;
  ASSERT_TRUE(r.LaserReady(1234, At(0), error)) << error;
  EXPECT_TRUE(r.AutoStarted());
  const fs::path first = r.FileName();
  ASSERT_TRUE(r.LaserReady(1234, At(5000), error));  // ready again: the same file
  EXPECT_EQ(r.FileName(), first);
  r.LaserGone();
  EXPECT_FALSE(r.Recording());
  ASSERT_TRUE(r.LaserReady(1234, At(10000), error));
  EXPECT_NE(r.FileName(), first);  // a new file per connection
  r.LaserGone();

  // One the operator started goes on through a disconnection.
  ASSERT_TRUE(r.Start(1234, At(20000), error));
  ASSERT_TRUE(r.LaserReady(1234, At(21000), error));
  EXPECT_FALSE(r.AutoStarted());
  r.LaserGone();
  EXPECT_TRUE(r.Recording());
  r.Stop();

  r.Settings().Folder = dir.Path() / "plain";
  std::ofstream(r.Settings().Folder) << "x";
  EXPECT_FALSE(r.LaserReady(1234, At(30000), error));
  EXPECT_FALSE(error.empty());
}

// A write that fails part-way (here at a file size limit, as on a full disk) ends the recording,
// says why, and leaves the file with every row written before and nothing of the failed write.
TEST(Recorder, AWriteErrorStopsTheRecordingAndLeavesWholeRows) {
  rectest::TTempDir dir;
  TRecorder r;
  r.Settings().Folder = dir.Path();
  std::vector<std::string> failures;
  r.OnFailed = [&](const std::string& message) {
    EXPECT_FALSE(r.Recording());
    failures.push_back(message);
  };
  std::string error;
  ASSERT_TRUE(r.Start(1234, At(0), error)) << error;
  std::string expected(RecordHeader);
  for (int n = 1; n <= 5; ++n) {
    r.Add(NthRow(n));
    expected += Expected(n);
  }
  r.Flush();
  ASSERT_EQ(rectest::ReadFile(r.FileName()), expected);

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = expected.size() + 100;  // half a row or so more fits
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int n = 6; n <= 20; ++n) r.Add(NthRow(n));
  r.Flush();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("Recording stopped"), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find(r.FileName().string()), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("too large"), std::string::npos) << failures[0];
  EXPECT_FALSE(r.Recording());
  EXPECT_EQ(rectest::ReadFile(r.FileName()), expected);
  EXPECT_FALSE(r.Add(NthRow(21)));
  r.Stop();
  EXPECT_EQ(failures.size(), 1u);
}

// A disk that fills up: a tiny tmpfs, mounted in a child's own mount namespace (skipped where
// the system allows none). The child checks what it can see and answers with its exit code.
TEST(Recorder, AFullDiskStopsTheRecordingAndLeavesWholeRows) {
  rectest::TTempDir dir;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
    if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=16k") != 0) ::_exit(77);
    TRecorder r;
    r.Settings().Folder = dir.Path();
    std::string failure;
    r.OnFailed = [&](const std::string& message) { failure = message; };
    std::string error;
    if (!r.Start(1234, At(0), error)) ::_exit(2);
    std::string expected(RecordHeader);
    std::uint64_t flushed = 0;
    for (int n = 1; r.Recording(); ++n) {
      if (n > 100000) ::_exit(3);  // never full
      r.Add(NthRow(n));
      expected += Expected(n);
      if (n % 7 == 0) {
        r.Flush();
        if (r.Recording()) flushed = r.RowsWritten();
      }
    }
    if (failure.find("No space left") == std::string::npos) ::_exit(4);
    const std::string text = rectest::ReadFile(r.FileName());
    if (!rectest::ParseCsv(text)) ::_exit(5);                     // a half row
    if (expected.compare(0, text.size(), text) != 0) ::_exit(6);  // not what was written
    if (rectest::ParseCsv(text)->size() != 1 + flushed) ::_exit(7);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for a tmpfs here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's exit codes in the test";
}

TEST(Recorder, AFolderDeletedWhileRecordingStopsIt) {
  rectest::TTempDir dir;
  TRecorder r;
  r.Settings().Folder = dir.Path() / "recordings";
  std::vector<std::string> failures;
  r.OnFailed = [&](const std::string& message) { failures.push_back(message); };
  std::string error;
  ASSERT_TRUE(r.Start(1234, At(0), error)) << error;
  r.Add(NthRow(1));
  r.Flush();
  fs::remove_all(r.Settings().Folder);
  r.Add(NthRow(2));
  EXPECT_TRUE(r.Recording());  // nothing is written before the flush
  r.Flush();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("deleted"), std::string::npos) << failures[0];
  EXPECT_FALSE(r.Recording());
}

TEST(Recorder, PartOfARowIsCutOffAtTheNextStart) {
  const struct {
    const char* Before;
    const char* After;
  } cases[] = {
      {"", ""},
      {"h\r\n", "h\r\n"},
      {"h\r\na,\"b\"\r\n", "h\r\na,\"b\"\r\n"},
      {"h\r\na,b\r\n2024-05-01T16:0", "h\r\na,b\r\n"},
      {"h\r\na,b\r", "h\r\n"},
      {"h\r\na,\"b,", "h\r\n"},
      {"tim", ""},
  };
  rectest::TTempDir dir;
  for (const auto& c : cases) {
    const fs::path path = dir.Path() / "laser-1-20240501-160322.csv";
    std::ofstream(path, std::ios::binary) << c.Before;
    std::string error;
    EXPECT_TRUE(TRecordFile::CutPartRow(path, error)) << error;
    EXPECT_EQ(rectest::ReadFile(path), c.After) << c.Before;
  }
  // The search reads 4096 bytes at a time from the end: a CR LF on either side of that edge and
  // split by it.
  for (const std::size_t tail : {4094, 4095, 4096, 9000}) {
    const fs::path path = dir.Path() / "big.csv";
    std::ofstream(path, std::ios::binary) << "h\r\nx\r\n" << std::string(tail, 'y');
    std::string error;
    EXPECT_TRUE(TRecordFile::CutPartRow(path, error)) << error;
    EXPECT_EQ(rectest::ReadFile(path), "h\r\nx\r\n") << tail;
  }

  // A start cuts its folder's recordings, except one written within the last minute (another
  // program may be recording into it) and files that are not recordings.
  fs::remove_all(dir.Path());
  fs::create_directories(dir.Path());
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  const struct {
    const char* Name;
    bool Old;
    const char* After;
  } files[] = {
      {"laser-7-20240501-100000.csv", true, "h\r\n"},
      {"laser-7-20240501-110000.csv", false, "h\r\nrow"},
      {"notes.csv", true, "h\r\nrow"},
  };
  for (const auto& f : files) {
    std::ofstream(dir.Path() / f.Name, std::ios::binary) << "h\r\nrow";
    if (f.Old) fs::last_write_time(dir.Path() / f.Name, old);
  }
  TRecorder r;
  r.Settings().Folder = dir.Path();
  std::string error;
  ASSERT_TRUE(r.Start(1234, At(0), error)) << error;
  for (const auto& f : files) EXPECT_EQ(rectest::ReadFile(dir.Path() / f.Name), f.After) << f.Name;
}

// A child records rows as fast as it can, flushing every few rows, and is killed at a moment the
// parent does not choose; the file, with a row cut by the kill taken off, holds whole rows only,
// exactly those the child wrote, and every row it had flushed.
TEST(Recorder, AKilledRecorderLeavesOnlyWholeRowsAndLosesNothingFlushed) {
  for (const int killAfter : {1, 37, 500, 2000, 6000}) {
    rectest::TTempDir dir;
    int pipeFd[2];
    ASSERT_EQ(::pipe(pipeFd), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFd[0]);
      TRecorder r;
      r.Settings().Folder = dir.Path();
      std::string error;
      if (!r.Start(1234, At(0), error)) ::_exit(2);
      for (int n = 1;; ++n) {
        r.Add(NthRow(n));
        if (n % 7 == 0) {
          r.Flush();
          if (!r.Recording()) ::_exit(3);
          const std::uint64_t flushed = r.RowsWritten();
          if (::write(pipeFd[1], &flushed, sizeof flushed) != sizeof flushed) ::_exit(4);
        }
      }
    }
    ::close(pipeFd[1]);
    std::uint64_t flushed = 0;
    while (flushed < static_cast<std::uint64_t>(killAfter)) {
      const ssize_t n = ::read(pipeFd[0], &flushed, sizeof flushed);
      ASSERT_EQ(n, static_cast<ssize_t>(sizeof flushed)) << "the child ended early";
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    // Whatever the child reported after the parent's last read was flushed too.
    for (std::uint64_t more = 0; ::read(pipeFd[0], &more, sizeof more) == sizeof more;) {
      flushed = more;
    }
    ::close(pipeFd[0]);

    const std::vector<fs::path> files = Files(dir.Path());
    ASSERT_EQ(files.size(), 1u);
    // A kill inside a write may have left part of a row, which the next start cuts off.
    std::string error;
    ASSERT_TRUE(TRecordFile::CutPartRow(files[0], error)) << error;
    const std::string text = rectest::ReadFile(files[0]);
    const auto records = rectest::ParseCsv(text);
    ASSERT_TRUE(records) << "not whole rows after a kill after " << killAfter << " rows; ends \""
                         << text.substr(text.size() > 200 ? text.size() - 200 : 0) << "\"";
    ASSERT_GE(records->size(), 1 + flushed);
    std::string expected(RecordHeader);
    for (std::size_t n = 1; n < records->size(); ++n) expected += Expected(static_cast<int>(n));
    EXPECT_EQ(text, expected) << "kill after " << killAfter;
  }
}

}  // namespace
