#pragma once

namespace vexel {

// Ends the process at once from any thread, without running static destructors
// or atexit handlers that other threads may still depend on. Callers write
// their last output with unbuffered writes first, so nothing is lost.
[[noreturn]] void exitProcess(int status);

// Puts a read-only /dev/null on each closed standard descriptor. Otherwise the
// next descriptor opened (a display connection, say) would take its number,
// and output meant for the host would go into it; writes now fail instead,
// as they would on the closed descriptor.
void holdStandardDescriptors();

}  // namespace vexel
