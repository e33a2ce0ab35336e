#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace vexel {

// The one seam through which both programs touch their standard streams, so
// tests can script EINTR, short transfers and EPIPE without a special OS set-up.
class PosixIo {
 public:
  virtual ~PosixIo() = default;
  virtual ssize_t read(int fd, void* buffer, std::size_t count);
  virtual ssize_t write(int fd, const void* buffer, std::size_t count);
  // Gives the pipe on `fd` the largest buffer the system allows an ordinary
  // process; keeps it as it is when `fd` is no pipe or the system refuses.
  virtual void enlargePipe(int fd);
};

// The real system calls.
PosixIo& systemIo();

// Writes every byte, retrying interrupted and partial writes. False on any
// other failure (a closed pipe among them); the stream is then unusable.
bool writeAll(PosixIo& io, int fd, std::span<const std::byte> data);
bool writeAll(PosixIo& io, int fd, std::string_view text);

}  // namespace vexel
