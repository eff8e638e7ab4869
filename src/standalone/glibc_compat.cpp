// What this machine's C++ headers and static C++ runtime take from a newer glibc than the
// one the module is linked against (TORVEL_GLIBC_STUBS), written with what glibc 2.28
// exports. All are the module's own, hidden, so the process's C library is never overridden.

#include <cstdlib>
#include <unistd.h>

struct stat;
struct stat64;

extern "C" {

// glibc 2.32: read by the C++ headers to skip atomic reference counting in a process
// without threads. Never set here, so counts stay atomic, as on older glibc.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// glibc 2.36: one source of std::random_device, which the module does not use; linked in
// with the rest of libstdc++'s random.o.
__attribute__((visibility("hidden"))) unsigned int arc4random() {
  unsigned int value;
  if (getentropy(&value, sizeof value) != 0) std::abort();
  return value;
}

// glibc 2.33 made stat and fstat64 functions of the library; before, they were wrappers
// around these entry points (x86-64's structure version 1), linked in from libc_nonshared.
int __xstat(int version, const char* path, struct stat* buf);
int __fxstat64(int version, int fd, struct stat64* buf);
constexpr int kStatVersion = 1;

__attribute__((visibility("hidden"))) int stat(const char* path, struct stat* buf) {
  return __xstat(kStatVersion, path, buf);
}

__attribute__((visibility("hidden"))) int fstat64(int fd, struct stat64* buf) {
  return __fxstat64(kStatVersion, fd, buf);
}

}  // extern "C"
