#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vexel::testing {

// The tests' own client of a private X server: paints, moves the pointer and
// reads back what the server holds (pointer, pressed keys, keymap, monitors).
struct XClient {
  explicit XClient(const std::string& display)
      : connection(xcb_connect(display.c_str(), nullptr)),
        screen(xcb_setup_roots_iterator(xcb_get_setup(connection)).data),
        gc(xcb_generate_id(connection)) {
    xcb_create_gc(connection, gc, screen->root, 0, nullptr);
  }
  ~XClient() { xcb_disconnect(connection); }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  // Returns once the server has handled everything sent before.
  void sync() {
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  }

  void fill(int x, int y, int w, int h, std::uint32_t rgb) {
    fillIn(screen->root, x, y, w, h, rgb);
  }

  // A mapped top-level window in one colour with an 8x8 corner in the
  // opposite one; real clients draw into windows, not on the root.
  void openWindow(int x, int y, int w, int h, std::uint32_t rgb) {
    const xcb_window_t window = xcb_generate_id(connection);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root,
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection, window);
    sync();
    fillIn(window, 0, 0, 8, 8, rgb ^ 0xffffffU);
  }

  void warp(int x, int y) {
    xcb_warp_pointer(connection, XCB_NONE, screen->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    sync();
  }

  std::pair<int, int> pointer() {
    auto* r =
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, screen->root), nullptr);
    const std::pair<int, int> at{r->root_x, r->root_y};
    std::free(r);
    return at;
  }

  // True when no key or button is down on the server.
  bool nothingHeld() {
    auto* k = xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
    bool none = true;
    for (auto byte : k->keys) none = none && byte == 0;
    std::free(k);
    auto* p =
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, screen->root), nullptr);
    none = none && (p->mask & 0x1FFF) == 0;
    std::free(p);
    return none;
  }

  // The keysyms of every keycode from the setup's first, `perCode` a row.
  struct Keymap {
    xcb_keycode_t first = 0;
    std::uint8_t perCode = 0;
    std::vector<xcb_keysym_t> syms;
    friend bool operator==(const Keymap&, const Keymap&) = default;
  };
  Keymap keymap() {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    auto* r = xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, count), nullptr);
    const xcb_keysym_t* s = xcb_get_keyboard_mapping_keysyms(r);
    Keymap map{setup->min_keycode,
               r->keysyms_per_keycode,
               {s, s + xcb_get_keyboard_mapping_keysyms_length(r)}};
    std::free(r);
    return map;
  }
  bool setKeymap(const Keymap& map) {
    const auto count = static_cast<std::uint8_t>(map.syms.size() / map.perCode);
    xcb_generic_error_t* error = xcb_request_check(
        connection, xcb_change_keyboard_mapping_checked(connection, count, map.first, map.perCode,
                                                        map.syms.data()));
    std::free(error);
    return error == nullptr;
  }

  std::vector<xcb_randr_monitor_info_t> monitors() {
    std::vector<xcb_randr_monitor_info_t> out;
    auto* reply = xcb_randr_get_monitors_reply(
        connection, xcb_randr_get_monitors(connection, screen->root, 1), nullptr);
    if (reply == nullptr) return out;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
      out.push_back(*it.data);
    }
    std::free(reply);
    return out;
  }

  xcb_connection_t* connection;
  xcb_screen_t* screen;
  xcb_gcontext_t gc;

 private:
  void fillIn(xcb_drawable_t target, int x, int y, int w, int h, std::uint32_t rgb) {
    xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                               static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(connection, target, gc, 1, &rect);
    sync();
  }
};

}  // namespace vexel::testing
