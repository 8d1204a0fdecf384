// Preloaded into Wine by scripts/wine-test.sh, never part of the program: a pseudo-terminal has
// no modem lines, so TIOCMGET fails on it, and Wine's WaitCommEvent gives up at once when it
// cannot read the modem status. Here a pseudo-terminal answers as a cable with DSR, CTS and DCD
// up would; every other call and every other device go to the C library untouched.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>

extern "C" int ioctl(int fd, unsigned long request, ...) {
  using Real = int (*)(int, unsigned long, void*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const int rc = real(fd, request, arg);
  if (rc < 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && arg != nullptr) {
    // Slaves of Unix 98 pseudo-terminals have the major numbers 136 to 143.
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
        major(st.st_rdev) <= 143) {
      *static_cast<int*>(arg) = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
      return 0;
    }
  }
  return rc;
}
