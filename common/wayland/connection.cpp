#include "common/wayland/connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vexel::wayland {

namespace {

constexpr std::uint32_t kOutputVersion = 4;
constexpr std::uint32_t kXdgOutputManagerVersion = 3;

std::string socketName() {
  const char* name = std::getenv("WAYLAND_DISPLAY");  // NOLINT(concurrency-mt-unsafe)
  return name != nullptr && *name != '\0' ? name : "wayland-0";
}

// Mode, scale and make are of no use here; geometry brings the transform.
void outputGeometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                    std::int32_t, const char*, const char*, std::int32_t transform) {
  static_cast<Output*>(data)->transform = transform;
}
void outputMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void outputDone(void*, wl_output*) {}
void outputScale(void*, wl_output*, std::int32_t) {}
void outputName(void* data, wl_output*, const char* name) {
  auto* output = static_cast<Output*>(data);
  if (output->name.empty()) output->name = name;
}
void outputDescription(void*, wl_output*, const char*) {}
constexpr wl_output_listener kOutputListener = {outputGeometry, outputMode, outputDone,
                                                outputScale,    outputName, outputDescription};

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto* output = static_cast<Output*>(data);
  output->x = x;
  output->y = y;
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
  auto* output = static_cast<Output*>(data);
  output->width = width;
  output->height = height;
}
void xdgDone(void*, zxdg_output_v1*) {}
void xdgName(void* data, zxdg_output_v1*, const char* name) {
  static_cast<Output*>(data)->name = name;
}
void xdgDescription(void*, zxdg_output_v1*, const char*) {}
constexpr zxdg_output_v1_listener kXdgOutputListener = {xdgPosition, xdgSize, xdgDone, xdgName,
                                                        xdgDescription};

}  // namespace

std::unique_ptr<Connection> Connection::open(std::string& error) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    error = "cannot connect to the Wayland compositor \"" + socketName() +
            "\": " + std::strerror(errno);  // NOLINT(concurrency-mt-unsafe)
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection(display));
  connection->registry_ = wl_display_get_registry(display);
  static constexpr wl_registry_listener kListener = {&Connection::onGlobal,
                                                     &Connection::onGlobalRemove};
  wl_registry_add_listener(connection->registry_, &kListener, connection.get());
  if (!connection->roundtrip()) {
    error =
        "the Wayland compositor \"" + socketName() + "\" did not answer: " + connection->failure();
    return nullptr;
  }
  return connection;
}

Connection::~Connection() {
  for (Output& output : outputs_) {
    if (output.xdgOutput != nullptr) zxdg_output_v1_destroy(output.xdgOutput);
    if (wl_output_get_version(output.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(output.output);
    } else {
      wl_output_destroy(output.output);
    }
  }
  if (xdgOutputManager_ != nullptr) zxdg_output_manager_v1_destroy(xdgOutputManager_);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
}

const Global* Connection::global(std::string_view interface) const {
  const auto found = std::find_if(globals_.begin(), globals_.end(),
                                  [&](const Global& g) { return g.interface == interface; });
  return found != globals_.end() ? &*found : nullptr;
}

std::vector<std::string> Connection::missing(
    std::initializer_list<const wl_interface*> interfaces) const {
  std::vector<std::string> names;
  for (const wl_interface* interface : interfaces) {
    if (global(interface->name) == nullptr) names.emplace_back(interface->name);
  }
  return names;
}

void* Connection::bind(const wl_interface& interface, std::uint32_t version) {
  const Global* found = global(interface.name);
  if (found == nullptr) return nullptr;
  return wl_registry_bind(registry_, found->name, &interface, std::min(version, found->version));
}

bool Connection::followOutputs() {
  if (xdgOutputManager_ != nullptr) return true;
  xdgOutputManager_ = static_cast<zxdg_output_manager_v1*>(
      bind(zxdg_output_manager_v1_interface, kXdgOutputManagerVersion));
  if (xdgOutputManager_ == nullptr) return false;
  for (const Global& g : globals_) {
    if (g.interface == wl_output_interface.name) addOutput(g.name, g.version);
  }
  return true;
}

void Connection::addOutput(std::uint32_t name, std::uint32_t version) {
  Output& output = outputs_.emplace_back();
  output.globalName = name;
  output.output = static_cast<wl_output*>(
      wl_registry_bind(registry_, name, &wl_output_interface, std::min(version, kOutputVersion)));
  wl_output_add_listener(output.output, &kOutputListener, &output);
  output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output.output);
  zxdg_output_v1_add_listener(output.xdgOutput, &kXdgOutputListener, &output);
}

void Connection::onGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                          std::uint32_t version) {
  auto* self = static_cast<Connection*>(data);
  self->globals_.push_back(Global{name, interface, version});
  if (self->xdgOutputManager_ != nullptr && std::strcmp(interface, wl_output_interface.name) == 0) {
    self->addOutput(name, version);
  }
}

void Connection::onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* self = static_cast<Connection*>(data);
  std::erase_if(self->globals_, [&](const Global& g) { return g.name == name; });
  std::erase_if(self->outputs_, [&](Output& output) {
    if (output.globalName != name) return false;
    zxdg_output_v1_destroy(output.xdgOutput);
    if (wl_output_get_version(output.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(output.output);
    } else {
      wl_output_destroy(output.output);
    }
    return true;
  });
}

bool Connection::roundtrip(std::chrono::milliseconds timeout) {
  bool done = false;
  wl_callback* callback = wl_display_sync(display_);
  static constexpr wl_callback_listener kDone = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback_add_listener(callback, &kDone, &done);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || pump(left) != Pump::kDispatched) break;
  }
  wl_callback_destroy(callback);
  return done && !broken();
}

Connection::Pump Connection::pump(std::chrono::milliseconds timeout, int wakeFd) {
  while (wl_display_prepare_read(display_) != 0) {
    if (wl_display_dispatch_pending(display_) < 0) return Pump::kBroken;
  }
  pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  // A full socket buffer is flushed as the compositor reads.
  if (wl_display_flush(display_) < 0) {
    if (errno != EAGAIN) {
      wl_display_cancel_read(display_);
      return Pump::kBroken;
    }
    fds[0].events |= POLLOUT;
  }
  const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
  if (ready <= 0) {
    wl_display_cancel_read(display_);
    if (ready < 0 && errno != EINTR) return Pump::kBroken;
    return Pump::kTimedOut;
  }
  // Woken, or only writable: nothing to read.
  if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
    wl_display_cancel_read(display_);
    return Pump::kDispatched;
  }
  if (wl_display_read_events(display_) < 0) return Pump::kBroken;
  if (wl_display_dispatch_pending(display_) < 0) return Pump::kBroken;
  return Pump::kDispatched;
}

bool Connection::dispatchWaiting() {
  return pump(std::chrono::milliseconds(0)) != Pump::kBroken && !broken();
}

bool Connection::broken() const {
  return wl_display_get_error(display_) != 0;
}

std::string Connection::failure() const {
  const int code = wl_display_get_error(display_);
  if (code == EPROTO) {
    const wl_interface* interface = nullptr;
    std::uint32_t id = 0;
    const std::uint32_t protocolCode = wl_display_get_protocol_error(display_, &interface, &id);
    return std::string("protocol error ") + std::to_string(protocolCode) + " on " +
           (interface != nullptr ? interface->name : "an object");
  }
  if (code == 0) return "the connection was closed";
  return std::strerror(code);  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace vexel::wayland
