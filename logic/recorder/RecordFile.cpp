#include "logic/recorder/RecordFile.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string TRecordFile::Failure(std::string_view What, int Code) const {
  const std::u8string path = FPath.u8string();
  return std::string(What) + " \"" + std::string(path.begin(), path.end()) +
         "\": " + std::system_category().message(Code);
}

bool TRecordFile::CutPartRow(const std::filesystem::path& Path, std::string& Error) {
  std::error_code ec;
  const std::uint64_t size = std::filesystem::file_size(Path, ec);
  std::ifstream in(Path, std::ios::binary);
  if (ec || !in) {
    const std::u8string path = Path.u8string();
    Error = "Cannot read \"" + std::string(path.begin(), path.end()) + "\"";
    return false;
  }
  // Backwards from the end, a page at a time, to the last LF after a CR.
  std::uint64_t end = size;
  std::string chunk;
  char next = 0;  // the byte after the chunk
  while (end > 0) {
    const std::uint64_t begin = end > 4096 ? end - 4096 : 0;
    chunk.resize(static_cast<std::size_t>(end - begin));
    in.seekg(static_cast<std::streamoff>(begin));
    if (!in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
      Error = "Cannot read the file";
      return false;
    }
    bool found = false;
    for (std::size_t i = chunk.size(); i-- > 0;) {
      const char after = i + 1 < chunk.size() ? chunk[i + 1] : next;
      if (chunk[i] == '\r' && after == '\n') {
        end = begin + i + 2;
        found = true;
        break;
      }
    }
    if (found) break;
    next = chunk.front();
    end = begin;
  }
  in.close();
  if (end == size) return true;
  std::filesystem::resize_file(Path, end, ec);
  if (ec) {
    const std::u8string path = Path.u8string();
    Error = "Cannot cut \"" + std::string(path.begin(), path.end()) + "\": " + ec.message();
    return false;
  }
  return true;
}

#if defined(_WIN32)

bool TRecordFile::Create(const std::filesystem::path& Path, std::string& Error, bool& Exists) {
  Close();
  FPath = Path;
  FSize = 0;
  Exists = false;
  HANDLE h = CreateFileW(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    Exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    Error = Failure("Cannot create", static_cast<int>(code));
    return false;
  }
  FHandle = h;
  return true;
}

bool TRecordFile::Append(std::string_view Data, std::string& Error) {
  if (!IsOpen()) return false;
  HANDLE h = static_cast<HANDLE>(FHandle);
  std::size_t done = 0;
  DWORD code = 0;
  while (done < Data.size()) {
    OVERLAPPED at{};
    const std::uint64_t offset = FSize + done;
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(Data.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, Data.data() + done, chunk, &written, &at)) {
      code = GetLastError();
      break;
    }
    done += written;
  }
  if (done == Data.size()) {
    FSize += done;
    return true;
  }
  // Cut back to the last whole row.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(FSize);
  if (SetFilePointerEx(h, end, nullptr, FILE_BEGIN)) SetEndOfFile(h);
  Error = Failure("Cannot write", static_cast<int>(code));
  return false;
}

void TRecordFile::Close() {
  if (FHandle != nullptr) CloseHandle(static_cast<HANDLE>(FHandle));
  FHandle = nullptr;
}

bool TRecordFile::IsOpen() const {
  return FHandle != nullptr;
}

#else

bool TRecordFile::Create(const std::filesystem::path& Path, std::string& Error, bool& Exists) {
  Close();
  FPath = Path;
  FSize = 0;
  Exists = false;
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    Exists = errno == EEXIST;
    Error = Failure("Cannot create", errno);
    return false;
  }
  FFd = fd;
  return true;
}

bool TRecordFile::Append(std::string_view Data, std::string& Error) {
  if (!IsOpen()) return false;
  // A file whose folder was removed takes writes without complaint and drops them at close.
  struct stat st {};
  if (::fstat(FFd, &st) == 0 && st.st_nlink == 0) {
    Error = Failure("Cannot write", ENOENT) + " (the file or its folder was deleted)";
    return false;
  }
  std::size_t done = 0;
  int code = 0;
  while (done < Data.size()) {
    const ssize_t n =
        ::pwrite(FFd, Data.data() + done, Data.size() - done, static_cast<off_t>(FSize + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      code = errno;
      break;
    }
    if (n == 0) {
      code = ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (done == Data.size()) {
    FSize += done;
    return true;
  }
  // A full disk (or a size limit) took part of it: cut back to the last whole row.
  while (::ftruncate(FFd, static_cast<off_t>(FSize)) != 0 && errno == EINTR) {
  }
  Error = Failure("Cannot write", code);
  return false;
}

void TRecordFile::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

bool TRecordFile::IsOpen() const {
  return FFd >= 0;
}

#endif
