#include "common/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace vexel {

void exitProcess(int status) {
  std::_Exit(status);
}

void holdStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: `fd` itself, as the lower ones are open by now.
    const int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      (void)::dup2(held, fd);
      (void)::close(held);
    }
  }
}

}  // namespace vexel
