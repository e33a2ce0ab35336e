#pragma once

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/posix_io.h"

namespace vexel::testing {

// The one stand-in for the standard streams in the logic's tests. Reads hand
// out `input` in slices of `readSlice` bytes; writes are recorded per
// descriptor, each following the next step of that descriptor's script.
// Safe to use from several threads; `changed` is notified on every write.
class ScriptedIo final : public PosixIo {
 public:
  enum class Step { kWhole, kInterrupt, kShort, kBrokenPipe };

  explicit ScriptedIo(std::string input = "") : input_(std::move(input)) {}

  // Read side.
  std::size_t readSlice = std::size_t{1} << 20;
  bool interruptReads = false;  // an EINTR before each slice
  int readErrorAtEnd = 0;       // errno of the read after the input, 0 for EOF
  int reads = 0;

  // Write side, besides the scripts: never more than `writeLimit` bytes at once.
  std::size_t writeLimit = std::size_t{1} << 30;

  ssize_t read(int /*fd*/, void* buffer, std::size_t count) override {
    const std::scoped_lock lock(mutex);
    ++reads;
    if (interruptReads && (reads % 2) == 1) return fail(EINTR);
    if (offset_ >= input_.size()) return readErrorAtEnd != 0 ? fail(readErrorAtEnd) : 0;
    const std::size_t n = std::min({count, readSlice, input_.size() - offset_});
    std::memcpy(buffer, input_.data() + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    const std::scoped_lock lock(mutex);
    ++calls[fd];
    Step step = Step::kWhole;
    if (auto& script = scripts[fd]; !script.empty()) {
      step = script.front();
      script.pop_front();
    }
    if (step == Step::kInterrupt) return fail(EINTR);
    if (step == Step::kBrokenPipe) {
      const auto error = closedError_.find(fd);
      return fail(error != closedError_.end() ? error->second : EPIPE);
    }
    count = std::min(count, writeLimit);
    if (step == Step::kShort && count > 1) count /= 2;
    const auto* bytes = static_cast<const char*>(buffer);
    written[fd].append(bytes, count);
    chunks[fd].emplace_back(bytes, count);
    order.push_back(fd);
    changed.notify_all();
    return static_cast<ssize_t>(count);
  }

  // After `writes` more whole writes, every write of `fd` fails with `error`.
  void closeAfter(int fd, std::size_t writes, int error = EPIPE) {
    const std::scoped_lock lock(mutex);
    closedError_[fd] = error;
    scripts[fd].assign(writes, Step::kWhole);
    scripts[fd].resize(writes + 100000, Step::kBrokenPipe);
  }

  // The lines written to `fd`; text after the last line feed is "<partial>...".
  std::vector<std::string> lines(int fd) {
    const std::scoped_lock lock(mutex);
    std::vector<std::string> out;
    const std::string& all = written[fd];
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
      out.push_back(all.substr(start, end - start));
    }
    if (start < all.size()) out.push_back("<partial>" + all.substr(start));
    return out;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, std::deque<Step>> scripts;
  std::map<int, std::string> written;
  std::map<int, std::vector<std::string>> chunks;  // one per successful write
  std::map<int, int> calls;
  std::vector<int> order;  // the descriptor of each successful write

 private:
  static ssize_t fail(int error) {
    errno = error;
    return -1;
  }
  std::string input_;
  std::size_t offset_ = 0;
  std::map<int, int> closedError_;
};

}  // namespace vexel::testing
