#include "common/posix_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace vexel {

ssize_t PosixIo::read(int fd, void* buffer, std::size_t count) {
  return ::read(fd, buffer, count);
}

ssize_t PosixIo::write(int fd, const void* buffer, std::size_t count) {
  return ::write(fd, buffer, count);
}

void PosixIo::enlargePipe([[maybe_unused]] int fd) {
#ifdef F_SETPIPE_SZ
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return;
  // Read without iostreams: they alone would pull in parts of the static C++
  // runtime that need a newer C library than the rest of the programs.
  char text[32] = {};
  const int limits = ::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
  if (limits < 0) return;
  const ssize_t length = ::read(limits, text, sizeof text - 1);
  ::close(limits);
  long largest = 0;
  if (length > 0) std::from_chars(text, text + length, largest);
  if (largest <= 0 || largest > (1L << 30)) return;
  const int current = ::fcntl(fd, F_GETPIPE_SZ);
  if (current < 0 || current >= largest) return;
  // Refused when the user's pipes already hold too much: the default stays.
  (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(largest));
#endif
}

PosixIo& systemIo() {
  // Never destroyed: the programs may exit from any thread while others still write.
  static auto* io = new PosixIo();
  return *io;
}

bool writeAll(PosixIo& io, int fd, std::span<const std::byte> data) {
  while (!data.empty()) {
    const ssize_t n = io.write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeAll(PosixIo& io, int fd, std::string_view text) {
  return writeAll(io, fd, std::as_bytes(std::span(text.data(), text.size())));
}

}  // namespace vexel
