#pragma once

namespace vexel {

// Ends the process at once from any thread, without running static destructors
// or atexit handlers that other threads may still depend on. Callers write
// their last output with unbuffered writes first, so nothing is lost.
[[noreturn]] void exitProcess(int status);

}  // namespace vexel
