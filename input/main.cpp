#include <csignal>
#include <memory>

#include "common/posix_io.h"
#include "common/process.h"
#include "input/injector.h"
#include "input/request_loop.h"

int main() {
  using namespace vexel::input;
  // Before the display connection can take a closed stream's number.
  vexel::holdStandardDescriptors();
  std::unique_ptr<EventServices> events = makeEventServices();
  const Injector injector = makeInjector(*events);
  // A host that closed our stdout shows up as a failed write, not a kill.
  (void)std::signal(SIGPIPE, SIG_IGN);
  runInjector(injector, vexel::systemIo(), 0, 1);
  // The provider gives back what it borrowed from the platform (X key bindings).
  events.reset();
  return 0;
}
