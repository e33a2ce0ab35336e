#include "input/platform/wayland/wayland_events.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/wayland/connection.h"
#include "common/wayland/session.h"
#include "input/platform/linux/pending_events.h"
#include "input/platform/wayland/keymap.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace vexel::input {

namespace {

using Clock = std::chrono::steady_clock;

// Positions go out in hundredths of a logical pixel, so fractions survive.
constexpr double kPositionUnits = 100.0;
// How long start-up waits for the seat to show the new devices.
constexpr std::chrono::milliseconds kSeatWait{2000};
// When our devices gave the seat its pointer or keyboard, clients learn of it
// at the same time as we do and only then ask for theirs; events sent before a
// client has asked are lost for it (measured: foot under load takes up to
// about 50 ms). Start-up leaves them this long.
constexpr std::chrono::milliseconds kClientSettle{250};

std::string missingDescription(const std::string& interface) {
  if (interface == zwlr_virtual_pointer_manager_v1_interface.name) {
    return "the virtual pointer protocol (" + interface + ")";
  }
  if (interface == zwp_virtual_keyboard_manager_v1_interface.name) {
    return "the virtual keyboard protocol (" + interface + ")";
  }
  if (interface == wl_seat_interface.name) return "a seat (" + interface + ")";
  if (interface == zxdg_output_manager_v1_interface.name) {
    return "the output layout protocol (" + interface + ")";
  }
  return interface;
}

constexpr const char* kCompositorAdvice =
    "Run the host application in a Wayland session whose compositor offers the virtual pointer "
    "and virtual keyboard protocols (sway, Hyprland, river, labwc, Wayfire) or in an X11 "
    "session, then restart it. GNOME and KDE Wayland sessions are not supported yet.";

std::uint32_t milliseconds() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// Events reach the compositor through one virtual pointer and one virtual
// keyboard made at start-up and kept for the program's life (a new device
// loses its first event). Every post ends with a round trip, so a reply
// follows the compositor's handling of all of its request's events.
class WaylandEventServices final : public PendingEventServices {
 public:
  explicit WaylandEventServices(std::unique_ptr<wayland::Connection> connection)
      : conn_(std::move(connection)) {}

  ~WaylandEventServices() override {
    if (!conn_->broken() && pointer_ != nullptr && keyboard_ != nullptr) {
      releaseHeld();
      conn_->roundtrip();
    }
    if (keyboard_ != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (pointer_ != nullptr) zwlr_virtual_pointer_v1_destroy(pointer_);
    if (keyboardManager_ != nullptr) zwp_virtual_keyboard_manager_v1_destroy(keyboardManager_);
    if (pointerManager_ != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointerManager_);
    if (seat_ != nullptr) wl_seat_destroy(seat_);
    if (!conn_->broken()) conn_->roundtrip();
  }

  WaylandEventServices(const WaylandEventServices&) = delete;
  WaylandEventServices& operator=(const WaylandEventServices&) = delete;

  // Makes the devices and waits until the seat shows them; the repair text
  // when that cannot be done.
  std::optional<std::string> start() {
    const std::vector<std::string> missing = conn_->missing(
        {&wl_seat_interface, &zwlr_virtual_pointer_manager_v1_interface,
         &zwp_virtual_keyboard_manager_v1_interface, &zxdg_output_manager_v1_interface});
    if (!missing.empty()) {
      std::vector<std::string> described;
      described.reserve(missing.size());
      for (const std::string& name : missing) described.push_back(missingDescription(name));
      return "vexel-input cannot post mouse or keyboard events in this Wayland session: its "
             "compositor lacks " +
             wayland::joinNames(described) + ". " + kCompositorAdvice;
    }
    conn_->followOutputs();
    seat_ = static_cast<wl_seat*>(conn_->bind(wl_seat_interface, 1));
    static constexpr wl_seat_listener kSeatListener = {
        [](void* data, wl_seat*, std::uint32_t caps) {
          static_cast<WaylandEventServices*>(data)->seatCaps_ = caps;
        },
        [](void*, wl_seat*, const char*) {}};
    wl_seat_add_listener(seat_, &kSeatListener, this);
    if (!conn_->roundtrip()) {
      return "vexel-input lost the Wayland compositor while setting up (" + conn_->failure() +
             "). " + kCompositorAdvice;
    }
    const std::uint32_t capsBefore = seatCaps_;
    pointerManager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
        conn_->bind(zwlr_virtual_pointer_manager_v1_interface, 1));
    keyboardManager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
        conn_->bind(zwp_virtual_keyboard_manager_v1_interface, 1));
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointerManager_, seat_);
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager_, seat_);
    if (!uploadKeymap() || !conn_->roundtrip()) {
      return "vexel-input could not set up its virtual devices with the Wayland compositor (" +
             conn_->failure() + "). " + kCompositorAdvice;
    }
    // With no physical devices the seat has a pointer and a keyboard only
    // once ours exist; an event sent before that is lost.
    constexpr std::uint32_t kBoth = WL_SEAT_CAPABILITY_POINTER | WL_SEAT_CAPABILITY_KEYBOARD;
    const auto deadline = Clock::now() + kSeatWait;
    while ((seatCaps_ & kBoth) != kBoth && Clock::now() < deadline) {
      if (conn_->pump(std::chrono::milliseconds(50)) == wayland::Connection::Pump::kBroken) break;
    }
    if ((capsBefore & kBoth) != kBoth) {
      const auto settled = Clock::now() + kClientSettle;
      while (Clock::now() < settled) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(settled - Clock::now());
        if (conn_->pump(left) == wayland::Connection::Pump::kBroken) break;
      }
    }
    if (!conn_->roundtrip()) {
      return "vexel-input lost the Wayland compositor while setting up (" + conn_->failure() +
             "). " + kCompositorAdvice;
    }
    return std::nullopt;
  }

  bool isProcessTrusted() override { return conn_->dispatchWaiting(); }

  std::optional<std::string> accessibilityMessage() const override {
    return "The Wayland compositor is required for mouse/keyboard control: vexel-input lost its "
           "connection to it. Restart the host application from the running Wayland session "
           "(with WAYLAND_DISPLAY set to it).";
  }

 private:
  void beginPost() override {
    if (conn_->broken()) throw DeliveryFailure{DeliveryFailure::Reason::kAccessLost};
  }
  void endPost() override {
    if (!conn_->roundtrip()) throw DeliveryFailure{DeliveryFailure::Reason::kAccessLost};
  }

  using Reason = DeliveryFailure::Reason;

  // Ends a post that could not be carried out. A lost compositor is the
  // session gone, whatever the step that noticed it; otherwise the keys this
  // post pressed are let go first. Buttons stay: holding one is what "down" is for.
  [[noreturn]] void fail(Reason reason) {
    if (reason == Reason::kUndeliverable && !conn_->broken()) {
      releaseKeys();
      heldKeys_.clear();
      if (modifiers_ != 0) zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
      modifiers_ = 0;
      conn_->roundtrip();
    }
    throw DeliveryFailure{conn_->broken() ? Reason::kAccessLost : reason};
  }

  void moveTo(Point p) {
    const auto& outputs = conn_->outputs();
    if (outputs.empty()) return;
    std::int64_t left = INT32_MAX;
    std::int64_t top = INT32_MAX;
    std::int64_t right = INT32_MIN;
    std::int64_t bottom = INT32_MIN;
    for (const wayland::Output& o : outputs) {
      left = std::min<std::int64_t>(left, o.x);
      top = std::min<std::int64_t>(top, o.y);
      right = std::max<std::int64_t>(right, std::int64_t{o.x} + o.width);
      bottom = std::max<std::int64_t>(bottom, std::int64_t{o.y} + o.height);
    }
    if (right <= left || bottom <= top) return;
    // The compositor maps position / extent onto the bounding box of the
    // layout; a point outside it goes to the nearest edge.
    const auto scaled = [](double v, std::int64_t origin, std::int64_t size) {
      const double extent = static_cast<double>(size) * kPositionUnits;
      const double units = std::isnan(v) ? 0.0 : (v - static_cast<double>(origin)) * kPositionUnits;
      return static_cast<std::uint32_t>(std::clamp(std::round(units), 0.0, extent - 1.0));
    };
    zwlr_virtual_pointer_v1_motion_absolute(
        pointer_, milliseconds(), scaled(p.x, left, right - left), scaled(p.y, top, bottom - top),
        static_cast<std::uint32_t>(static_cast<double>(right - left) * kPositionUnits),
        static_cast<std::uint32_t>(static_cast<double>(bottom - top) * kPositionUnits));
  }

  void button(std::uint32_t code, bool press) {
    zwlr_virtual_pointer_v1_button(
        pointer_, milliseconds(), code,
        press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    if (press) {
      heldButtons_.push_back(code);
    } else {
      std::erase(heldButtons_, code);
    }
  }

  void postMouse(const PendingEvent& e) override {
    moveTo(e.point);
    constexpr std::uint32_t kEvdevButton[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};
    if (const auto change = buttonChange(e.type)) {
      button(kEvdevButton[static_cast<std::size_t>(change->button)], change->press);
    }
    zwlr_virtual_pointer_v1_frame(pointer_);
  }

  void axis(std::uint32_t which, std::int32_t pixels, std::int64_t& carried) {
    if (pixels == 0) return;
    // On the wire positive is down (or right); a positive macOS amount
    // scrolls up (or left).
    const double value = -static_cast<double>(pixels);
    const auto steps = static_cast<std::int32_t>(-takeWheelClicks(carried, pixels));
    const wl_fixed_t fixed = wl_fixed_from_double(std::clamp(value, -8.0e6, 8.0e6));
    if (steps != 0) {
      zwlr_virtual_pointer_v1_axis_discrete(pointer_, milliseconds(), which, fixed, steps);
    } else {
      zwlr_virtual_pointer_v1_axis(pointer_, milliseconds(), which, fixed);
    }
  }

  void postScroll(const PendingEvent& e) override {
    if (e.location) {
      moveTo(*e.location);
      zwlr_virtual_pointer_v1_frame(pointer_);
    }
    if (e.wheel1 == 0 && e.wheel2 == 0) return;
    zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
    axis(WL_POINTER_AXIS_VERTICAL_SCROLL, e.wheel1, verticalCarry_);
    axis(WL_POINTER_AXIS_HORIZONTAL_SCROLL, e.wheel2, horizontalCarry_);
    zwlr_virtual_pointer_v1_frame(pointer_);
  }

  void key(std::uint32_t evdev, bool press) {
    zwp_virtual_keyboard_v1_key(
        keyboard_, milliseconds(), evdev,
        press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    if (press) {
      heldKeys_.push_back(evdev);
    } else {
      std::erase(heldKeys_, evdev);
    }
  }

  // A modifier key goes down or up together with the state clients read.
  void modifierKey(const ModifierKey& m, bool press) {
    key(m.evdev, press);
    modifiers_ = press ? (modifiers_ | m.mask) : (modifiers_ & ~m.mask);
    zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers_, 0, 0, 0);
  }

  void modifiers(EventFlags flags, bool press) {
    const std::pair<EventFlags, const ModifierKey*> kMods[] = {
        {kEventFlagMaskShift, &kShiftKey},
        {kEventFlagMaskControl, &kControlKey},
        {kEventFlagMaskAlternate, &kAltKey},
        {kEventFlagMaskCommand, &kSuperKey}};
    if (press) {
      for (const auto& [mask, mod] : kMods) {
        if ((flags & mask) != 0) modifierKey(*mod, true);
      }
    } else {
      for (auto it = std::rbegin(kMods); it != std::rend(kMods); ++it) {
        if ((flags & it->first) != 0) modifierKey(*it->second, false);
      }
    }
  }

  void postKey(const PendingEvent& e) override {
    if (e.text) {
      // The whole text is typed with the down event; its up event has nothing left to do.
      if (e.keyDown) typeText(*e.text);
      return;
    }
    const NamedKey* named = namedKeyForMac(e.keyCode);
    if (named == nullptr) fail(Reason::kUndeliverable);
    if (e.keyDown) {
      modifiers(e.flags, true);
      key(named->evdev, true);
    } else {
      key(named->evdev, false);
      modifiers(e.flags, false);
    }
  }

  // The keysyms of the text up to its first character that no key can type;
  // `complete` tells whether that was the end.
  static std::vector<std::uint32_t> keysymsOf(const std::u16string& units, bool& complete) {
    complete = true;
    std::vector<std::uint32_t> keysyms;
    for (const char32_t cp : codePoints(units)) {
      const std::uint32_t sym = keysymForCodePoint(cp);
      if (sym == 0) {
        complete = false;
        break;
      }
      keysyms.push_back(sym);
    }
    return keysyms;
  }

  void typeText(const std::u16string& units) {
    bool complete = true;
    const std::vector<std::uint32_t> keysyms = keysymsOf(units, complete);
    if (!bindSpares(keysyms)) fail(Reason::kUndeliverable);
    for (const std::uint32_t sym : keysyms) {
      std::optional<KeyPlace> place = namedPlace(sym);
      if (!place) {
        const auto bound = std::find_if(spares_.begin(), spares_.end(),
                                        [&](const SpareUse& s) { return s.keysym == sym; });
        if (bound == spares_.end()) fail(Reason::kUndeliverable);
        bound->lastPress = Clock::now();
        spares_.splice(spares_.end(), spares_, bound);
        place = KeyPlace{bound->evdev, false};
      }
      const bool shift = place->shifted && (modifiers_ & kShiftKey.mask) == 0;
      if (shift) modifierKey(kShiftKey, true);
      key(place->evdev, true);
      key(place->evdev, false);
      if (shift) modifierKey(kShiftKey, false);
    }
    // What came before the untypable character stays typed, as after any failure part-way.
    if (!complete) fail(Reason::kUndeliverable);
  }

  // Binds every character of the text that no key types to a spare key, in
  // one keymap change. Spares go least recently used first, and never sooner
  // than kSpareRebindGuard after their last press.
  bool bindSpares(const std::vector<std::uint32_t>& keysyms) {
    std::vector<std::uint32_t> needed;
    for (const std::uint32_t sym : keysyms) {
      if (namedPlace(sym)) continue;
      if (std::find(needed.begin(), needed.end(), sym) != needed.end()) continue;
      if (std::any_of(spares_.begin(), spares_.end(),
                      [&](const SpareUse& s) { return s.keysym == sym; })) {
        continue;
      }
      needed.push_back(sym);
    }
    if (needed.empty()) return true;
    const auto inText = [&](std::uint32_t sym) {
      return std::find(keysyms.begin(), keysyms.end(), sym) != keysyms.end();
    };
    for (const std::uint32_t sym : needed) {
      if (spares_.size() < kSpareCount) {
        spares_.push_back(SpareUse{kFirstSpareEvdev + static_cast<std::uint32_t>(spares_.size()),
                                   sym, Clock::time_point{}});
        continue;
      }
      const auto victim = std::find_if(spares_.begin(), spares_.end(),
                                       [&](const SpareUse& s) { return !inText(s.keysym); });
      if (victim == spares_.end()) return false;
      conn_->dispatchWaiting();
      std::this_thread::sleep_until(victim->lastPress + kSpareRebindGuard);
      victim->keysym = sym;
      victim->lastPress = Clock::time_point{};
      spares_.splice(spares_.end(), spares_, victim);
    }
    return uploadKeymap();
  }

  bool uploadKeymap() {
    std::vector<SpareBinding> bindings;
    bindings.reserve(spares_.size());
    for (const SpareUse& s : spares_) bindings.push_back(SpareBinding{s.evdev, s.keysym});
    const std::string text = buildKeymap(bindings);
    const int fd = memfd_create("vexel-keymap", MFD_CLOEXEC);
    if (fd < 0) return false;
    // The compositor reads the keymap as a string, with its terminating NUL.
    const std::size_t size = text.size() + 1;
    std::size_t written = 0;
    while (written < size) {
      const ssize_t n = ::write(fd, text.c_str() + written, size - written);
      if (n <= 0) {
        ::close(fd);
        return false;
      }
      written += static_cast<std::size_t>(n);
    }
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(size));
    ::close(fd);
    return true;
  }

  // Lets go of the held keys, the last pressed first.
  void releaseKeys() {
    std::for_each(heldKeys_.rbegin(), heldKeys_.rend(), [this](std::uint32_t key) {
      zwp_virtual_keyboard_v1_key(keyboard_, milliseconds(), key, WL_KEYBOARD_KEY_STATE_RELEASED);
    });
  }

  void releaseHeld() {
    releaseKeys();
    if (modifiers_ != 0) zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    for (const std::uint32_t b : heldButtons_) {
      zwlr_virtual_pointer_v1_button(pointer_, milliseconds(), b, WL_POINTER_BUTTON_STATE_RELEASED);
    }
    if (!heldButtons_.empty()) zwlr_virtual_pointer_v1_frame(pointer_);
    heldKeys_.clear();
    heldButtons_.clear();
    modifiers_ = 0;
  }

  struct SpareUse {
    std::uint32_t evdev;
    std::uint32_t keysym;
    Clock::time_point lastPress;
  };

  std::unique_ptr<wayland::Connection> conn_;
  wl_seat* seat_ = nullptr;
  std::uint32_t seatCaps_ = 0;
  zwlr_virtual_pointer_manager_v1* pointerManager_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;
  std::list<SpareUse> spares_;  // least recently used first
  std::uint32_t modifiers_ = 0;
  std::vector<std::uint32_t> heldButtons_;
  std::vector<std::uint32_t> heldKeys_;
  std::int64_t verticalCarry_ = 0;
  std::int64_t horizontalCarry_ = 0;
};

}  // namespace

std::unique_ptr<EventServices> makeWaylandEventServices(std::string& repairText) {
  std::string error;
  std::unique_ptr<wayland::Connection> connection = wayland::Connection::open(error);
  if (!connection) {
    repairText = "vexel-input cannot reach the Wayland compositor of this session: " + error +
                 ". Start the host application from the running Wayland session, with "
                 "WAYLAND_DISPLAY naming the compositor's socket, then restart it.";
    return nullptr;
  }
  auto services = std::make_unique<WaylandEventServices>(std::move(connection));
  if (auto failure = services->start()) {
    repairText = std::move(*failure);
    return nullptr;
  }
  return services;
}

}  // namespace vexel::input
