#pragma once

#include <functional>
#include <string_view>

#include "common/posix_io.h"

namespace vexel::screencap {

// Where the streamer's output goes and how it ends. Production uses the real
// descriptors and exitProcess; tests substitute an Io seam and an exit that throws.
struct Outlet {
  PosixIo& io;
  int stdoutFd = 1;
  int stderrFd = 2;
  std::function<void(int status)> exit;  // never returns
};

// The message and a line feed as one write to standard error, no prefix.
void errLog(const Outlet& outlet, std::string_view message);

// "vexel-screencap: " + message + line feed as one write, then exit status 1.
[[noreturn]] void fail(const Outlet& outlet, std::string_view message);

// Calls outlet.exit and never returns, even if it does.
[[noreturn]] void exitWith(const Outlet& outlet, int status);

// Writes the last output through `lastWords` and exits with `status`, as the
// one ending of the process: an ending that comes second (a timer firing while
// the roster is written, a stream stop while stdout closes) waits until the
// process is gone, so endings never mix their lines or swap their statuses.
[[noreturn]] void endWith(const Outlet& outlet, int status, const std::function<void()>& lastWords);

}  // namespace vexel::screencap
