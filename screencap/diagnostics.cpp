#include "screencap/diagnostics.h"

#include <mutex>
#include <string>

#include "common/process.h"

namespace vexel::screencap {

void errLog(const Outlet& outlet, std::string_view message) {
  std::string line;
  line.reserve(message.size() + 1);
  line.append(message);
  line.push_back('\n');
  // Nothing is left to report a failure to: stderr is the report.
  (void)writeAll(outlet.io, outlet.stderrFd, line);
}

void fail(const Outlet& outlet, std::string_view message) {
  std::string line = "vexel-screencap: ";
  line.append(message);
  endWith(outlet, 1, [&] { errLog(outlet, line); });
}

void endWith(const Outlet& outlet, int status, const std::function<void()>& lastWords) {
  // Never destroyed: the process ends while its holder is still inside.
  static auto* ending = new std::mutex();
  // Held until the process is gone; released only when a test's exit unwinds.
  const std::scoped_lock only(*ending);
  lastWords();
  exitWith(outlet, status);
}

void exitWith(const Outlet& outlet, int status) {
  if (outlet.exit) outlet.exit(status);
  exitProcess(status);
}

}  // namespace vexel::screencap
