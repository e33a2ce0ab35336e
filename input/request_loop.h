#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/posix_io.h"
#include "input/dispatcher.h"

namespace vexel::input {

// Splits a byte stream into lines at LF, dropping the LF and a CR right before
// it. The last line may lack its LF. Read errors end the stream like EOF does.
class LineReader {
 public:
  LineReader(PosixIo& io, int fd) : io_(io), fd_(fd) {}
  std::optional<std::string> next();

 private:
  PosixIo& io_;
  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;    // first byte of buffer_ not yet handed out
  std::size_t scanned_ = 0;  // bytes from start_ on known to hold no LF
  bool ended_ = false;
};

// Replies nested deeper than this are not serialised (the writer recurses).
inline constexpr std::size_t kMaxReplyDepth = 512;

// Writes one compact JSON line, or the fixed "reply_encode_failed" line when the
// value cannot be serialised. False when standard output is closed.
bool writeLineJSON(PosixIo& io, int fd, const Json& reply);

// Writes the ready line, then answers every request line of `inFd` on `outFd`
// until input ends or the host stops reading our replies.
void runInjector(const Injector& injector, PosixIo& io, int inFd, int outFd);

}  // namespace vexel::input
