#include "logic/SafeWrite.h"

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace fs = std::filesystem;

bool ReplaceFileContents(const fs::path& Target, std::string_view Text, std::string& Reason) {
  fs::path temp = Target;
  temp += ".tmp";
  {
    // The wide name: a folder under the user's profile may have any letters in its name.
    std::FILE* f = _wfopen(temp.c_str(), L"wb");
    if (!f) {
      Reason = std::generic_category().message(errno);
      return false;
    }
    // On the disk before the rename, as on Linux.
    const bool ok = std::fwrite(Text.data(), 1, Text.size(), f) == Text.size() &&
                    std::fflush(f) == 0 && _commit(_fileno(f)) == 0;
    const int err = errno;
    if (std::fclose(f) != 0 || !ok) {
      const int reason = ok ? errno : err;
      std::error_code ignored;
      fs::remove(temp, ignored);
      Reason = std::generic_category().message(reason);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, Target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    Reason = ec.message();
    return false;
  }
  return true;
}
