#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/x_server.h"

namespace vexel::testing {

// A private headless Wayland compositor for end-to-end tests, in a runtime
// directory of its own, stopped and removed by the destructor. sway refuses to
// run as root, so as root the compositor and its clients run as nobody.
class PrivateCompositor {
 public:
  enum class Kind { kSway, kWeston };
  // `config` is added to the sway configuration.
  explicit PrivateCompositor(Kind kind, const std::string& config = "");
  ~PrivateCompositor();
  PrivateCompositor(const PrivateCompositor&) = delete;
  PrivateCompositor& operator=(const PrivateCompositor&) = delete;

  static bool available(Kind kind);
  bool running() const { return !socket_.empty(); }
  const std::string& runtimeDir() const { return dir_; }

  // The command that runs `argv` as a client of the compositor, as its user,
  // with only the session's environment and `env` ("NAME=value").
  std::vector<std::string> client(const std::vector<std::string>& argv,
                                  const std::vector<std::string>& env = {}) const;
  // A copy of the program at `path` that the compositor's user may run.
  std::string install(const std::string& path) const;
  // Runs swaymsg with the command; true when it succeeded.
  bool swaymsg(const std::string& command) const;

 private:
  std::string dir_;
  std::string socket_;
  std::string ipc_;  // sway's command socket
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace vexel::testing
