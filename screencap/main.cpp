#include <memory>
#include <string>
#include <vector>

#include "common/posix_io.h"
#include "common/process.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/dispatch.h"
#include "screencap/startup.h"

int main(int argc, char** argv) {
  using namespace vexel::screencap;
  vexel::holdStandardDescriptors();
  // Never destroyed: the process ends through exitProcess from whichever
  // thread finishes first, while the others may still use all of this.
  const std::vector<std::string> arguments(argv, argv + argc);
  static const Outlet outlet{vexel::systemIo(), 1, 2, vexel::exitProcess};
  Dispatch& dispatch = *makeDispatch().release();
  ContentProvider& content = *makeContentProvider(dispatch).release();
  StreamFactory& streams = *makeStreamFactory(dispatch).release();
  runStreamer(arguments, outlet, dispatch, content, streams);
}
