#include "common/posix_io.h"

#include <unistd.h>

#include <cerrno>

namespace vexel {

ssize_t PosixIo::read(int fd, void* buffer, std::size_t count) {
  return ::read(fd, buffer, count);
}

ssize_t PosixIo::write(int fd, const void* buffer, std::size_t count) {
  return ::write(fd, buffer, count);
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
