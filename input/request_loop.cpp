#include "input/request_loop.h"

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "input/text.h"

namespace vexel::input {

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr std::string_view kEncodeFailedLine = "{\"ok\":false,\"error\":\"reply_encode_failed\"}\n";

bool deeperThan(const Json& root, std::size_t limit) {
  std::vector<std::pair<const Json*, std::size_t>> pending{{&root, 1}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    if (depth > limit) return true;
    for (const auto& child : *value) pending.emplace_back(&child, depth + 1);
  }
  return false;
}

Json badJson() {
  return {{"ok", false}, {"error", "bad_json"}};
}

}  // namespace

std::optional<std::string> LineReader::next() {
  while (true) {
    const std::size_t lf = buffer_.find('\n', start_ + scanned_);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > start_ && buffer_[end - 1] == '\r') --end;
      std::string line = buffer_.substr(start_, end - start_);
      start_ = lf + 1;
      scanned_ = 0;
      return line;
    }
    scanned_ = buffer_.size() - start_;
    if (ended_) {
      if (scanned_ == 0) return std::nullopt;
      std::string line = buffer_.substr(start_);
      buffer_.clear();
      start_ = scanned_ = 0;
      return line;
    }
    // Lines handed out are dropped once per refill, not once per line.
    buffer_.erase(0, start_);
    start_ = 0;
    const std::size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    ssize_t n = 0;
    do {
      n = io_.read(fd_, buffer_.data() + old, kReadChunk);
    } while (n < 0 && errno == EINTR);
    buffer_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n <= 0) ended_ = true;
  }
}

bool writeLineJSON(PosixIo& io, int fd, const Json& reply) {
  std::string line;
  try {
    if (deeperThan(reply, kMaxReplyDepth)) return writeAll(io, fd, kEncodeFailedLine);
    line = reply.dump();
  } catch (const std::exception&) {
    return writeAll(io, fd, kEncodeFailedLine);
  }
  line.push_back('\n');
  return writeAll(io, fd, line);
}

void runInjector(const Injector& injector, PosixIo& io, int inFd, int outFd) {
  const Json ready = {{"ready", true}, {"trusted", injector.events.isProcessTrusted()}};
  if (!writeLineJSON(io, outFd, ready)) return;
  LineReader reader(io, inFd);
  while (std::optional<std::string> raw = reader.next()) {
    const std::string text = toValidUtf8(std::move(*raw));
    const std::string_view trimmed = trimSpaces(text);
    if (trimmed.empty()) continue;
    // The parser takes a NUL byte for the end of its input, so text after one
    // would go unseen. Valid JSON holds none anywhere, not even inside a string.
    if (trimmed.find('\0') != std::string_view::npos) {
      if (!writeLineJSON(io, outFd, badJson())) return;
      continue;
    }
    Json request = Json::parse(trimmed, nullptr, /*allow_exceptions=*/false,
                               /*ignore_comments=*/false);
    const Json reply = request.is_object() ? handle(injector, std::move(request)) : badJson();
    if (!writeLineJSON(io, outFd, reply)) return;
  }
}

}  // namespace vexel::input
