#include "input/platform/x11/x11_events.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/x11/connection.h"
#include "input/platform/linux/keys.h"
#include "input/platform/linux/pending_events.h"

namespace vexel::input {

namespace {

using KeySym = std::uint32_t;
constexpr KeySym kNoSymbol = 0;

// X keysyms (X11/keysymdef.h) of the modifier keys.
constexpr KeySym kXkShiftL = 0xffe1;
constexpr KeySym kXkControlL = 0xffe3;
constexpr KeySym kXkAltL = 0xffe9;
constexpr KeySym kXkSuperL = 0xffeb;

// The X keysym of the key a macOS virtual key code (ANSI layout) names.
KeySym keysymForMacKey(std::uint16_t code) {
  const NamedKey* key = namedKeyForMac(code);
  return key == nullptr ? kNoSymbol : key->keysym;
}

// Events go to the X server through XTEST as if from the core devices. Every
// post ends with a round trip, so when it returns the server has processed the
// event (as CGEventPost has delivered it on macOS): a reply after the last post
// of a request means the screen already shows its effect. A post that cannot be
// carried out (no key for a character, a refused request, a lost connection)
// throws DeliveryFailure instead of returning.
class X11EventServices final : public PendingEventServices {
 public:
  X11EventServices() {
    if (x_.failure()) return;
    conn_ = x_.get();
    root_ = x_.root();
    xtest_ = vexel::x11::extension(conn_, &xcb_test_id) != nullptr;
    if (xtest_) loadKeyboardMapping(xcb_get_setup(conn_));
  }

  ~X11EventServices() override {
    if (!alive()) return;
    releaseHeld();
    restoreSpareKeys();
    settle();
  }

  X11EventServices(const X11EventServices&) = delete;
  X11EventServices& operator=(const X11EventServices&) = delete;

  bool isProcessTrusted() override {
    if (!xtest_ || !alive()) return false;
    // Reading what is waiting, without a round trip, sees a server that closed
    // the connection since the last request.
    drainEvents();
    return alive();
  }

  std::optional<std::string> accessibilityMessage() const override {
    // What was wrong at start, in the words vexel-screencap uses for it too.
    std::string why;
    if (x_.failure()) {
      why = *x_.failure() + ". ";
    } else if (!xtest_) {
      why = "The X display \"" + x_.displayName() + "\" lacks the XTEST extension. ";
    }
    return why +
           "An X display with the XTEST extension is required for mouse/keyboard control: "
           "start vexel-input from a session of a running X server (or Xvfb) that enables "
           "XTEST, with DISPLAY set to it (for example DISPLAY=:0), then restart the host "
           "application.";
  }

 private:
  void beginPost() override {
    if (!xtest_ || !alive()) throw DeliveryFailure{DeliveryFailure::Reason::kAccessLost};
  }
  void endPost() override {
    if (const auto failure = settle()) fail(*failure);
  }

  bool alive() const { return x_.alive(); }

  using Reason = DeliveryFailure::Reason;

  // One round trip: when it returns, the server has processed every request
  // sent before. Tells what went wrong with them, if anything did.
  std::optional<Reason> settle() {
    // The round trip fails only when the connection does, which alive() tells.
    (void)x_.roundTrip();
    const bool refused = drainEvents();
    if (!alive()) return Reason::kAccessLost;
    if (refused) return Reason::kUndeliverable;
    return std::nullopt;
  }

  // Ends a post that could not be carried out. A broken connection is the
  // display gone, whatever the step that noticed it; otherwise the keys this
  // post pressed are let go first. Buttons stay: holding one is what "down" is for.
  [[noreturn]] void fail(Reason reason) {
    if (reason == Reason::kUndeliverable && alive()) {
      releaseKeys();
      settle();
    }
    throw DeliveryFailure{alive() ? reason : Reason::kAccessLost};
  }

  // Nothing is listened to; drop what the server sends (MappingNotify and such).
  // True when an error was among it: only the unchecked fake input sends those.
  bool drainEvents() {
    bool error = false;
    while (const vexel::x11::Reply<xcb_generic_event_t> ev{xcb_poll_for_event(conn_)}) {
      error = error || ev->response_type == 0;
    }
    return error;
  }

  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0) {
    xcb_test_fake_input(conn_, type, detail, XCB_CURRENT_TIME,
                        type == XCB_MOTION_NOTIFY ? root_ : XCB_NONE, x, y, 0);
  }

  static std::int16_t coordinate(double v) {
    return static_cast<std::int16_t>(
        std::clamp(std::round(std::isnan(v) ? 0.0 : v), -32768.0, 32767.0));
  }

  void moveTo(Point p) { fake(XCB_MOTION_NOTIFY, 0, coordinate(p.x), coordinate(p.y)); }

  // Whether the pointer is somewhere other than where a move to `p` puts it.
  bool pointerElsewhere(Point p) {
    const vexel::x11::Reply<xcb_query_pointer_reply_t> r(
        xcb_query_pointer_reply(conn_, xcb_query_pointer(conn_, root_), nullptr));
    if (!r) fail(Reason::kUndeliverable);
    return r->same_screen == 0 || r->root_x != coordinate(p.x) || r->root_y != coordinate(p.y);
  }

  void button(std::uint8_t number, bool press) {
    fake(press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number);
    if (press) {
      heldButtons_.push_back(number);
    } else {
      std::erase(heldButtons_, number);
    }
  }

  void key(xcb_keycode_t code, bool press) {
    fake(press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code);
    if (press) {
      heldKeys_.push_back(code);
    } else {
      std::erase(heldKeys_, code);
    }
  }

  void postMouse(const PendingEvent& e) override {
    // A press or release lands at its point, but a client that is already there
    // sees only the button: a motion of no distance would still reach it.
    const auto change = buttonChange(e.type);
    if (!change || pointerElsewhere(e.point)) moveTo(e.point);
    // X buttons 1, 2 and 3 are left, middle and right.
    constexpr std::uint8_t kXButton[] = {1, 3, 2};
    if (change) button(kXButton[static_cast<std::size_t>(change->button)], change->press);
  }

  void postScroll(const PendingEvent& e) override {
    if (e.location) moveTo(*e.location);
    const auto wheel = [this](std::int64_t clicks, std::uint8_t positive, std::uint8_t negative) {
      const std::uint8_t b = clicks > 0 ? positive : negative;
      // A bound on one request's clicks keeps a huge amount from hanging the server.
      const std::int64_t n = std::min<std::int64_t>(std::llabs(clicks), 1000);
      for (std::int64_t i = 0; i < n; ++i) {
        fake(XCB_BUTTON_PRESS, b);
        fake(XCB_BUTTON_RELEASE, b);
      }
    };
    // Positive wheel 1 scrolls up (button 4), positive wheel 2 scrolls left (button 6).
    wheel(takeWheelClicks(verticalCarry_, e.wheel1), 4, 5);
    wheel(takeWheelClicks(horizontalCarry_, e.wheel2), 6, 7);
  }

  // The keycodes of the modifiers in `flags`, in pressing order. A modifier
  // only acts from a key the server knows as one, so none is lent a spare key.
  std::vector<xcb_keycode_t> modifierKeys(EventFlags flags) {
    const std::pair<EventFlags, KeySym> kMods[] = {{kEventFlagMaskShift, kXkShiftL},
                                                   {kEventFlagMaskControl, kXkControlL},
                                                   {kEventFlagMaskAlternate, kXkAltL},
                                                   {kEventFlagMaskCommand, kXkSuperL}};
    std::vector<xcb_keycode_t> codes;
    for (const auto& [mask, sym] : kMods) {
      if ((flags & mask) == 0) continue;
      const std::optional<KeyPlace> k = findKey(sym);
      if (!k) fail(Reason::kUndeliverable);
      codes.push_back(k->code);
    }
    return codes;
  }

  void postKey(const PendingEvent& e) override {
    if (e.text) {
      // The whole text is typed with the down event; its up event has nothing left to do.
      if (e.keyDown) typeText(*e.text);
      return;
    }
    // Everything is looked up before anything is pressed: a key that cannot be
    // made presses no modifier either.
    const std::optional<KeyPlace> place = placeFor(keysymForMacKey(e.keyCode));
    if (!place) fail(Reason::kUndeliverable);
    // A key found only on the shifted level is reached with Shift.
    const std::vector<xcb_keycode_t> mods =
        modifierKeys(e.flags | (place->shifted ? kEventFlagMaskShift : 0));
    if (e.keyDown) {
      for (const xcb_keycode_t m : mods) key(m, true);
      key(place->code, true);
    } else {
      key(place->code, false);
      std::for_each(mods.rbegin(), mods.rend(), [this](xcb_keycode_t m) { key(m, false); });
    }
  }

  void typeText(const std::u16string& units) {
    const std::optional<KeyPlace> shiftKey = findKey(kXkShiftL);
    const xcb_keycode_t shift = shiftKey ? shiftKey->code : 0;
    for (const char32_t cp : codePoints(units)) {
      // A server gone mid-text would otherwise be noticed only at the end.
      if (!alive()) fail(Reason::kAccessLost);
      const std::optional<KeyPlace> place = placeFor(keysymForCodePoint(cp));
      // Typed unshifted, a shifted place would give another character.
      if (!place || (place->shifted && shift == 0)) fail(Reason::kUndeliverable);
      if (place->shifted) key(shift, true);
      key(place->code, true);
      key(place->code, false);
      if (place->shifted) key(shift, false);
    }
  }

  struct KeyPlace {
    xcb_keycode_t code;
    bool shifted;
  };

  void loadKeyboardMapping(const xcb_setup_t* setup) {
    minKeycode_ = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const vexel::x11::Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        conn_,
        xcb_get_keyboard_mapping(conn_, setup->min_keycode, static_cast<std::uint8_t>(count)),
        nullptr));
    if (!reply) return;
    perCode_ = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    mapping_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    if (perCode_ == 0) return;
    // Keycodes bound to nothing, and not modifiers, are free to lend to characters.
    std::vector<xcb_keycode_t> modifierCodes;
    if (const vexel::x11::Reply<xcb_get_modifier_mapping_reply_t> mods{
            xcb_get_modifier_mapping_reply(conn_, xcb_get_modifier_mapping(conn_), nullptr)}) {
      const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mods.get());
      modifierCodes.assign(codes, codes + xcb_get_modifier_mapping_keycodes_length(mods.get()));
    }
    for (int k = 0; k < count; ++k) {
      const auto code = static_cast<xcb_keycode_t>(minKeycode_ + k);
      const bool empty = std::all_of(mapping_.begin() + std::ptrdiff_t{k} * perCode_,
                                     mapping_.begin() + std::ptrdiff_t{k + 1} * perCode_,
                                     [](xcb_keysym_t s) { return s == kNoSymbol; });
      if (empty &&
          std::find(modifierCodes.begin(), modifierCodes.end(), code) == modifierCodes.end()) {
        spare_.push_back(code);
      }
    }
  }

  std::optional<KeyPlace> findKey(KeySym sym) const {
    if (perCode_ == 0) return std::nullopt;
    const std::size_t codes = mapping_.size() / perCode_;
    for (int column = 0; column < std::min<int>(2, perCode_); ++column) {
      for (std::size_t k = 0; k < codes; ++k) {
        if (mapping_[k * perCode_ + column] == sym) {
          return KeyPlace{static_cast<xcb_keycode_t>(minKeycode_ + k), column == 1};
        }
      }
    }
    return std::nullopt;
  }

  // Where to press for a keysym: its key in the mapping, or a spare slot (one
  // level of a spare keycode; level 2 is pressed with Shift) bound to it. Slots
  // rotate least recently used first, so a keycode is bound anew only after every
  // other slot was, long after a client that reads the mapping late (on
  // MappingNotify) has handled the press made with the old binding; and never
  // sooner than kSpareRebindGuard after that press. Rebinding one level of a keycode
  // leaves its other level as it was, so presses of that one stay right.
  std::optional<KeyPlace> placeFor(KeySym sym) {
    if (sym == kNoSymbol) return std::nullopt;
    if (const auto bound =
            std::find_if(lru_.begin(), lru_.end(), [&](const SpareUse& b) { return b.sym == sym; });
        bound != lru_.end()) {
      bound->lastPress = std::chrono::steady_clock::now();
      lru_.splice(lru_.end(), lru_, bound);
      return KeyPlace{bound->code, bound->level == 1};
    }
    if (auto place = findKey(sym)) return place;
    const std::size_t levels = std::min<std::size_t>(2, perCode_);
    xcb_keycode_t code = 0;
    std::uint8_t level = 0;
    if (lru_.size() < spare_.size() * levels) {
      code = spare_[lru_.size() / levels];
      level = static_cast<std::uint8_t>(lru_.size() % levels);
    } else if (!lru_.empty()) {
      code = lru_.front().code;
      level = lru_.front().level;
      // Everything queued so far reaches the server before the wait counts.
      xcb_flush(conn_);
      std::this_thread::sleep_until(lru_.front().lastPress + kSpareRebindGuard);
      lru_.pop_front();
    } else {
      return std::nullopt;
    }
    if (!bind(code, level, sym)) return std::nullopt;
    lru_.push_back(SpareUse{code, level, sym, std::chrono::steady_clock::now()});
    return KeyPlace{code, level == 1};
  }

  bool bind(xcb_keycode_t code, std::uint8_t level, KeySym sym) {
    const auto rowStart = mapping_.begin() + std::ptrdiff_t{code - minKeycode_} * perCode_;
    std::vector<xcb_keysym_t> row(rowStart, rowStart + perCode_);
    row[level] = sym;
    // A keycode with one keysym reads as that keysym's lower and upper case
    // (the core rule; the server's XKB map does the same), so an unshifted
    // press of a lone É would give é. Until its second slot is lent, the
    // keycode holds the keysym on both levels.
    if (level == 0 && perCode_ > 1 && row[1] == kNoSymbol) row[1] = sym;
    if (vexel::x11::check(
            conn_, xcb_change_keyboard_mapping_checked(conn_, 1, code, perCode_, row.data()))) {
      return false;
    }
    std::copy(row.begin(), row.end(), rowStart);
    touched_ = true;
    return true;
  }

  void releaseKeys() {
    std::for_each(heldKeys_.rbegin(), heldKeys_.rend(),
                  [this](xcb_keycode_t code) { fake(XCB_KEY_RELEASE, code); });
    heldKeys_.clear();
  }

  void releaseHeld() {
    releaseKeys();
    for (auto b : heldButtons_) fake(XCB_BUTTON_RELEASE, b);
    heldButtons_.clear();
  }

  void restoreSpareKeys() {
    if (!touched_) return;
    std::vector<xcb_keysym_t> empty(perCode_, kNoSymbol);
    for (const xcb_keycode_t code : spare_) {
      // Nothing to do about a refusal at the end; the check keeps the order.
      (void)vexel::x11::check(
          conn_, xcb_change_keyboard_mapping_checked(conn_, 1, code, perCode_, empty.data()));
    }
    lru_.clear();
  }

  const vexel::x11::Connection x_;
  xcb_connection_t* conn_ = nullptr;
  xcb_window_t root_ = XCB_NONE;
  bool xtest_ = false;
  std::uint8_t perCode_ = 0;
  xcb_keycode_t minKeycode_ = 0;
  std::vector<xcb_keysym_t> mapping_;
  std::vector<xcb_keycode_t> spare_;
  struct SpareUse {
    xcb_keycode_t code;
    std::uint8_t level;
    KeySym sym;
    std::chrono::steady_clock::time_point lastPress;
  };
  std::list<SpareUse> lru_;  // least recently used first
  bool touched_ = false;
  std::vector<std::uint8_t> heldButtons_;
  std::vector<xcb_keycode_t> heldKeys_;
  std::int64_t verticalCarry_ = 0;
  std::int64_t horizontalCarry_ = 0;
};

}  // namespace

std::unique_ptr<EventServices> makeX11EventServices() {
  return std::make_unique<X11EventServices>();
}

}  // namespace vexel::input
