#include "testing/compositor.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vexel::testing {

namespace {

constexpr uid_t kNobody = 65534;

bool asRoot() {
  return ::geteuid() == 0;
}

// Test runs never meet a user's own settings or session.
std::vector<std::string> sessionEnvironment(const std::string& dir) {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "XDG_RUNTIME_DIR=" + dir, "HOME=" + dir,
          "LANG=C.UTF-8"};
}

std::vector<std::string> asUser(std::vector<std::string> command) {
  std::vector<std::string> argv;
  if (asRoot()) {
    argv = {findOnPath("setpriv"), "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  argv.push_back(findOnPath("env"));
  argv.emplace_back("-i");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

}  // namespace

bool PrivateCompositor::available(Kind kind) {
  if (asRoot() && findOnPath("setpriv").empty()) return false;
  return !findOnPath(kind == Kind::kSway ? "sway" : "weston").empty();
}

PrivateCompositor::PrivateCompositor(Kind kind, const std::string& config) {
  if (!available(kind)) return;
  char pattern[] = "/tmp/vexel-wayland-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  if (asRoot() && ::chown(pattern, kNobody, kNobody) != 0) return;
  std::vector<std::string> command = sessionEnvironment(dir_);
  std::string program;
  if (kind == Kind::kSway) {
    {
      std::ofstream file(dir_ + "/sway.conf");
      file << "default_border none\ndefault_floating_border none\ngaps inner 0\ngaps outer 0\n"
              "xwayland disable\nfocus_follows_mouse no\n"
           << config << "\n";
    }
    std::filesystem::permissions(dir_ + "/sway.conf", std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::others_read);
    command.insert(command.end(),
                   {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"});
    program = "exec sway -c \"$0/sway.conf\" >\"$0/log\" 2>&1";
  } else {
    program =
        "exec weston --backend=headless-backend.so --socket=vexel-0 --use-pixman --idle-time=0 "
        ">\"$0/log\" 2>&1";
  }
  command.insert(command.end(), {"sh", "-c", program, dir_});
  process_ = std::make_unique<ChildProcess>(asUser(command));
  if (!process_->started()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline && socket_.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::error_code error;
    std::string found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, error)) {
      const std::string name = entry.path().filename();
      if (name.rfind("sway-ipc.", 0) == 0) ipc_ = entry.path();
      if ((name.rfind("wayland-", 0) == 0 || name == "vexel-0") &&
          entry.path().extension() != ".lock") {
        found = name;
      }
    }
    if ((kind != Kind::kSway || !ipc_.empty()) && !found.empty()) socket_ = found;
  }
}

PrivateCompositor::~PrivateCompositor() {
  // A compositor that ignores the request is killed by the launcher.
  if (process_) process_->stop(SIGTERM);
  process_.reset();
  if (!dir_.empty()) {
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }
}

std::vector<std::string> PrivateCompositor::client(const std::vector<std::string>& argv,
                                                   const std::vector<std::string>& env) const {
  std::vector<std::string> command = sessionEnvironment(dir_);
  command.push_back("WAYLAND_DISPLAY=" + socket_);
  command.insert(command.end(), env.begin(), env.end());
  command.insert(command.end(), argv.begin(), argv.end());
  return asUser(command);
}

std::string PrivateCompositor::install(const std::string& path) const {
  const std::string copy = dir_ + "/" + std::filesystem::path(path).filename().string();
  std::error_code error;
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, error);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all |
                                         std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  return copy;
}

bool PrivateCompositor::swaymsg(const std::string& command) const {
  ChildProcess process(client({"swaymsg", "-s", ipc_, command}));
  process.closeStdin();
  std::string line;
  while (process.readLine(line, 5000)) {
  }
  return process.wait(5000) == 0;
}

}  // namespace vexel::testing
