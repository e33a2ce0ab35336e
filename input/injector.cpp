#include "input/injector.h"

namespace vexel::input {

Injector makeInjector(EventServices& events) {
  Injector injector{events, events.accessibilityMessage().value_or(ACCESSIBILITY_MESSAGE)};
  injector.eventSource = events.createEventSource(EventSourceState::kHIDSystemState);
  return injector;
}

}  // namespace vexel::input
