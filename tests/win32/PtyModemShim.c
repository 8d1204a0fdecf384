/* Preloaded into Wine by scripts/wine-test.sh, never part of the program: a pseudo-terminal has
 * no modem lines, so TIOCMGET fails on it, and Wine's WaitCommEvent gives up at once when it
 * cannot read the modem status. Here a pseudo-terminal answers as a cable with DSR, CTS and DCD
 * up would; every other call and every other device go to the C library untouched.
 *
 * Plain C, so that the one compiler builds it for the 64-bit and for the 32-bit Wine without a
 * 32-bit C++ library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*Real)(int, unsigned long, void*);

/* What the C library answered, unless it is a pseudo-terminal's refusal of TIOCMGET. */
static int Answer(int fd, unsigned long request, void* arg, int rc) {
  if (rc < 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && arg != NULL) {
    /* Slaves of Unix 98 pseudo-terminals have the major numbers 136 to 143. */
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
        major(st.st_rdev) <= 143) {
      *(int*)arg = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
      return 0;
    }
  }
  return rc;
}

int ioctl(int fd, unsigned long request, ...) {
  static Real real = NULL;
  if (!real) real = (Real)dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return Answer(fd, request, arg, real(fd, request, arg));
}

#if defined(__i386__)
/* The 32-bit Wine is built with a 64-bit time_t, and its calls of ioctl go to this name. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static Real real = NULL;
  if (!real) real = (Real)dlsym(RTLD_NEXT, "__ioctl_time64");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return Answer(fd, request, arg, real(fd, request, arg));
}
#endif
