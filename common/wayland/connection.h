#pragma once

#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace vexel::wayland {

struct Global {
  std::uint32_t name = 0;
  std::string interface;
  std::uint32_t version = 0;
};

// One output as the compositor describes it. Position and size are logical
// (the layout's units, as xdg-output gives them); wl_output alone reports 0,0
// for every output on some compositors.
struct Output {
  std::uint32_t globalName = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  std::string name;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
};

// A connection to the compositor named by the environment. The registry and,
// once followed, the outputs stay current as events are dispatched, on the one
// thread that uses the connection.
class Connection {
 public:
  // Null, with `error` saying why, when no compositor answers.
  static std::unique_ptr<Connection> open(std::string& error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] wl_display* display() const { return display_; }
  [[nodiscard]] const Global* global(std::string_view interface) const;
  // The interfaces of the list that the compositor does not offer.
  [[nodiscard]] std::vector<std::string> missing(
      std::initializer_list<const wl_interface*> interfaces) const;
  // The global of `interface` bound at the lower of `version` and its own, or
  // null when the compositor has none.
  void* bind(const wl_interface& interface, std::uint32_t version);

  // Binds every output with its xdg-output, now and whenever one appears; false
  // when the compositor lacks xdg-output. A round trip fills them in.
  bool followOutputs();
  // In the order the compositor announced them; a removed output is dropped.
  [[nodiscard]] const std::list<Output>& outputs() const { return outputs_; }

  // Waits until the compositor has handled every request sent so far and
  // dispatches what it sent back; false when the connection is broken or the
  // compositor did not answer in time.
  bool roundtrip(std::chrono::milliseconds timeout = kAnswerTimeout);

  enum class Pump { kDispatched, kTimedOut, kBroken };
  // Sends what is queued, waits up to `timeout` for events (or for `wakeFd`,
  // when not negative, to become readable) and dispatches them. The caller
  // reads its own state to tell a wake from events.
  Pump pump(std::chrono::milliseconds timeout, int wakeFd = -1);
  // Dispatches what has already arrived, without waiting.
  bool dispatchWaiting();

  // Longer than any compositor takes unless it is stuck.
  static constexpr std::chrono::milliseconds kAnswerTimeout{5000};
  [[nodiscard]] bool broken() const;
  // Why the connection broke.
  [[nodiscard]] std::string failure() const;

 private:
  explicit Connection(wl_display* display) : display_(display) {}
  void addOutput(std::uint32_t name, std::uint32_t version);
  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void onGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
  std::vector<Global> globals_;
  std::list<Output> outputs_;
};

}  // namespace vexel::wayland
