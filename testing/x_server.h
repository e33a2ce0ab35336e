#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vexel::testing {

class ChildProcess;

// A private Xvfb for end-to-end tests: started on a free display number chosen
// by the server itself (-displayfd), never the user's own display, and stopped
// by the destructor. `available()` is false when Xvfb is not installed.
class PrivateXServer {
 public:
  struct Options {
    std::string screen = "1280x800x24";
    std::vector<std::string> extraArgs;  // e.g. {"+extension", "RANDR"}
  };
  PrivateXServer();
  explicit PrivateXServer(Options options);
  ~PrivateXServer();
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  static bool available();
  bool running() const { return server_ != nullptr; }
  // ":N"
  const std::string& display() const { return display_; }
  // SIGKILL, for tests of a server that dies under a client.
  void kill();

 private:
  std::unique_ptr<ChildProcess> server_;
  std::string display_;
};

// A child process with pipes on its standard streams.
class ChildProcess {
 public:
  // `env` entries ("NAME=value") are added to the parent's environment.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  int stdoutFd() const { return out_; }

  void writeStdin(const std::string& data);
  void closeStdin();
  void closeStdout();
  // One line from stdout (stderr) without its LF; false at EOF or after
  // `timeoutMs` without a whole line.
  bool readLine(std::string& line, int timeoutMs = 10000);
  bool readErrLine(std::string& line, int timeoutMs = 10000);
  // Exactly `count` bytes from stdout, or false.
  bool readExact(void* buffer, std::size_t count, int timeoutMs = 10000);
  // Everything left on stderr (lines not yet read included) once the child has ended.
  std::string drainStderr(int timeoutMs = 10000);
  // Exit status, or 128 + signal; -1 when it did not end within `timeoutMs`.
  int wait(int timeoutMs = 20000);
  // Sends `signal`, then waits as wait() does.
  int stop(int signal);
  // A "VmRSS:"-style figure of the running child from /proc, in KiB; -1 without.
  long memoryKiB(const std::string& key) const;

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  static bool readLineFrom(int fd, std::string& buffer, std::string& line, int timeoutMs);
  std::string outBuffer_;
  std::string errBuffer_;
  int status_ = -1;
};

// Full path of `program` on PATH, or empty.
std::string findOnPath(const std::string& program);

// Runs an X client tool (argv[0] looked up on PATH) against `display`; true
// when it exists and exits 0.
bool runTool(std::vector<std::string> argv, const std::string& display);

}  // namespace vexel::testing
