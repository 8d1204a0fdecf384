#include "logic/SafeWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace fs = std::filesystem;

bool ReplaceFileContents(const fs::path& Target, std::string_view Text, std::string& Reason) {
  struct stat old {};
  const bool hadOld = ::stat(Target.c_str(), &old) == 0;
  std::string tmpl = Target.string() + ".XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    Reason = std::generic_category().message(errno);
    return false;
  }
  const fs::path temp(tmpl);
  auto removeTemp = [&] {
    std::error_code ignored;
    fs::remove(temp, ignored);
  };
  auto fail = [&](int err) {
    ::close(fd);
    removeTemp();
    Reason = std::generic_category().message(err);
    return false;
  };
  // Keep the old file's permissions; a new one gets the usual rw-r--r-- (less the umask).
  if (hadOld) {
    if (::fchmod(fd, old.st_mode & 07777) != 0) return fail(errno);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) return fail(errno);
  }
  std::size_t done = 0;
  while (done < Text.size()) {
    const ssize_t n = ::write(fd, Text.data() + done, Text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    removeTemp();
    Reason = std::generic_category().message(err);
    return false;
  }
  if (::rename(temp.c_str(), Target.c_str()) != 0) {
    const int err = errno;
    removeTemp();
    Reason = std::generic_category().message(err);
    return false;
  }
  // Make the rename itself survive a power cut; a folder that cannot be synced is no error.
  const int dir = ::open(Target.parent_path().empty() ? "." : Target.parent_path().c_str(),
                         O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}
