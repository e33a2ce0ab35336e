#include "testing/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "common/posix_io.h"

extern char** environ;

namespace vexel::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Pipes are made close-on-exec in two steps (macOS has no pipe2), so no fork
// of ours may come in between: another test thread's child would keep an end
// open and its reader would never see the end of the stream.
std::mutex& spawnMutex() {
  static std::mutex mutex;
  return mutex;
}

bool closeOnExecPipe(int fds[2]) {
  if (::pipe(fds) != 0) {
    fds[0] = fds[1] = -1;
    return false;
  }
  if (::fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0) {
    return true;
  }
  ::close(fds[0]);
  ::close(fds[1]);
  fds[0] = fds[1] = -1;
  return false;
}

// Appends what `fd` has once it has something; false at its end, on an
// error or at the deadline.
bool readMore(int fd, std::string& buffer, Clock::time_point deadline) {
  while (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, remainingMs(deadline)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  return false;
}

std::vector<char*> pointers(std::vector<std::string>& items) {
  std::vector<char*> out;
  out.reserve(items.size() + 1);
  for (auto& item : items) out.push_back(item.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  const std::string all = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= all.size();) {
    std::size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    const std::string candidate = all.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

bool runTool(std::vector<std::string> argv, const std::string& display) {
  argv[0] = findOnPath(argv[0]);
  if (argv[0].empty()) return false;
  ChildProcess tool(argv, {"DISPLAY=" + display});
  (void)tool.drainStderr();
  return tool.wait() == 0;
}

bool PrivateXServer::available() {
  return !findOnPath("Xvfb").empty();
}

PrivateXServer::PrivateXServer() : PrivateXServer(Options{}) {}

PrivateXServer::PrivateXServer(Options options) {
  if (!available()) return;
  // The server writes its display number to fd 1; what it logs is not wanted.
  std::vector<std::string> argv = {"/bin/sh",   "-c",         "exec \"$0\" \"$@\" 2>/dev/null",
                                   "Xvfb",      "-displayfd", "1",
                                   "-screen",   "0",          options.screen,
                                   "-nolisten", "tcp",        "-noreset"};
  argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
  server_ = std::make_unique<ChildProcess>(argv);
  std::string number;
  if (server_->readLine(number, 20000) && !number.empty()) {
    display_ = ":" + number;
  } else {
    kill();
  }
}

PrivateXServer::~PrivateXServer() {
  if (server_) server_->stop(SIGTERM);
}

void PrivateXServer::kill() {
  if (server_) server_->stop(SIGKILL);
  server_.reset();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
  std::vector<std::string> args = argv;
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  // The caller's own Wayland session must never be the one a child reaches:
  // a session for it is always given explicitly.
  std::erase_if(environment, [](const std::string& e) {
    return e.starts_with("WAYLAND_DISPLAY=") || e.starts_with("XDG_SESSION_TYPE=");
  });
  for (const auto& entry : env) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(environment, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    environment.push_back(entry);
  }
  auto a = pointers(args);  // made before the fork: a child of threads must not allocate
  auto e = pointers(environment);
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  pid_t pid = -1;
  {
    const std::lock_guard lock(spawnMutex());
    if (!closeOnExecPipe(in) || !closeOnExecPipe(out) || !closeOnExecPipe(err)) {
      for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        if (fd >= 0) ::close(fd);
      }
      return;
    }
    pid = ::fork();
  }
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(a[0], a.data(), e.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ChildProcess::writeStdin(const std::string& data) {
  if (in_ >= 0) (void)writeAll(systemIo(), in_, data);
}

void ChildProcess::closeStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ChildProcess::closeStdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

bool ChildProcess::readLine(std::string& line, int timeoutMs) {
  return readLineFrom(out_, outBuffer_, line, timeoutMs);
}

bool ChildProcess::readErrLine(std::string& line, int timeoutMs) {
  return readLineFrom(err_, errBuffer_, line, timeoutMs);
}

bool ChildProcess::readLineFrom(int fd, std::string& buffer, std::string& line, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t scanned = 0;  // a long line is searched for its LF only once
  for (;;) {
    const std::size_t lf = buffer.find('\n', scanned);
    if (lf != std::string::npos) {
      line = buffer.substr(0, lf);
      buffer.erase(0, lf + 1);
      return true;
    }
    scanned = buffer.size();
    if (!readMore(fd, buffer, deadline)) return false;
  }
}

bool ChildProcess::readExact(void* buffer, std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (outBuffer_.size() < count) {
    if (!readMore(out_, outBuffer_, deadline)) return false;
  }
  std::memcpy(buffer, outBuffer_.data(), count);
  outBuffer_.erase(0, count);
  return true;
}

std::string ChildProcess::drainStderr(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (readMore(err_, errBuffer_, deadline)) {
  }
  return std::exchange(errBuffer_, {});
}

int ChildProcess::stop(int signal) {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, signal);
  return wait();
}

long ChildProcess::memoryKiB(const std::string& key) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  long value = -1;
  for (std::string word; status >> word;) {
    if (word == key && status >> value) break;
  }
  return value;
}

int ChildProcess::wait(int timeoutMs) {
  if (status_ >= 0) return status_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (r < 0 || Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace vexel::testing
