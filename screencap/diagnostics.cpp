#include "screencap/diagnostics.h"

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
  errLog(outlet, line);
  exitWith(outlet, 1);
}

void exitWith(const Outlet& outlet, int status) {
  if (outlet.exit) outlet.exit(status);
  exitProcess(status);
}

}  // namespace vexel::screencap
