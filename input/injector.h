#pragma once

#include <memory>
#include <string>
#include <utility>

#include "input/platform/event_services.h"

namespace vexel::input {

// The one error type of the injector; `msg` becomes the reply's "error".
struct HelperError {
  std::string msg;
};

// Owns a created event: released when it goes out of scope, also when posting
// throws.
struct EventReleaser {
  EventServices* events;
  void operator()(EventRef event) const { events->release(event); }
};
using OwnedEvent = std::unique_ptr<OpaqueEvent, EventReleaser>;

// The grant-repair text, unless the provider has its own.
inline constexpr const char* ACCESSIBILITY_MESSAGE =
    "macOS Accessibility permission is required for mouse/keyboard control: open System "
    "Settings \u2192 Privacy & Security \u2192 Accessibility, enable Visual Studio Code, then "
    "fully quit and relaunch VS Code (a window reload is not enough).";

// Largest number of UTF-16 code units carried by one text event.
inline constexpr int TYPE_CHUNK_UTF16 = 20;

// The values set once at start-up and only read afterwards, plus the platform
// they were taken from. Passed to every operation instead of living in globals.
struct Injector {
  EventServices& events;
  std::string accessibilityMessage;
  EventSourceRef eventSource = nullptr;
};

// Start-up steps in their order: the repair text, then the event source.
Injector makeInjector(EventServices& events);

}  // namespace vexel::input
