#include "common/process.h"

#include <cstdlib>

namespace vexel {

void exitProcess(int status) { std::_Exit(status); }

}  // namespace vexel
