// Test helpers that differ between Linux and Windows: a throw-away folder and the environment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace test {

// A new, empty folder under the system's temporary folder, removed with everything in it at the
// end (a folder the test made read-only as well).
class TTempDir {
 public:
  explicit TTempDir(const std::string& prefix = "laser-test") {
    namespace fs = std::filesystem;
#if defined(_WIN32)
    // No mkdtemp: a random name, again until one is new.
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100 && FPath.empty(); ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / (prefix + "-" + std::to_string(random() % 1000000007));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) FPath = candidate;
    }
#else
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) FPath = pattern;
#endif
    if (FPath.empty()) throw std::runtime_error("cannot make a temporary folder");
  }
  ~TTempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const {
    return FPath;
  }
  std::string String() const {
    return FPath.string();
  }

 private:
  std::filesystem::path FPath;
};

inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");  // an empty value removes the variable there
#else
  unsetenv(name);
#endif
}

}  // namespace test
