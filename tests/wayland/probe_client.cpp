// A Wayland client for the end-to-end tests: one window in four coloured
// quadrants (red, green / blue, white), printing on stdout one line per input
// event it receives:
//   ready W H | motion X Y | button CODE STATE | axis AXIS VALUE |
//   discrete AXIS STEPS | key KEYSYM MODS | keyup KEYSYM
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xdg-shell-client-protocol.h"

namespace {

struct Probe {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_seat* seat = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  int width = 0;
  int height = 0;
  bool configured = false;
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
};

void say(const char* format, auto... values) {
  std::printf(format, values...);
  std::fflush(stdout);
}

void paint(Probe& p) {
  const int stride = p.width * 4;
  const std::size_t size = static_cast<std::size_t>(stride) * p.height;
  const int fd = memfd_create("probe", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) std::exit(2);
  auto* pixels =
      static_cast<std::uint32_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (pixels == MAP_FAILED) std::exit(2);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const bool right = x >= p.width / 2;
      const bool bottom = y >= p.height / 2;
      pixels[static_cast<std::size_t>(y) * p.width + x] =
          bottom ? (right ? 0xffffffffU : 0xff0000ffU) : (right ? 0xff00ff00U : 0xffff0000U);
    }
  }
  munmap(pixels, size);
  wl_shm_pool* pool = wl_shm_create_pool(p.shm, fd, static_cast<std::int32_t>(size));
  if (p.buffer != nullptr) wl_buffer_destroy(p.buffer);
  p.buffer = wl_shm_pool_create_buffer(pool, 0, p.width, p.height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_surface_attach(p.surface, p.buffer, 0, 0);
  wl_surface_damage(p.surface, 0, 0, p.width, p.height);
  wl_surface_commit(p.surface);
}

const wl_pointer_listener kPointer = {
    [](void*, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
      say("motion %.2f %.2f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
    [](void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
      say("motion %.2f %.2f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button,
       std::uint32_t state) { say("button %u %u\n", button, state); },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
      say("axis %u %.2f\n", axis, wl_fixed_to_double(value));
    },
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t axis, std::int32_t steps) {
      say("discrete %u %d\n", axis, steps);
    },
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
};

std::string activeModifiers(xkb_state* state) {
  std::string mods;
  for (const char* name :
       {XKB_MOD_NAME_SHIFT, XKB_MOD_NAME_CTRL, XKB_MOD_NAME_ALT, XKB_MOD_NAME_LOGO}) {
    if (xkb_state_mod_name_is_active(state, name, XKB_STATE_MODS_EFFECTIVE) > 0) {
      mods += mods.empty() ? "" : "+";
      mods += name;
    }
  }
  return mods.empty() ? "-" : mods;
}

const wl_keyboard_listener kKeyboard = {
    [](void* data, wl_keyboard*, std::uint32_t, int fd, std::uint32_t size) {
      auto& p = *static_cast<Probe*>(data);
      char* text = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
      close(fd);
      if (text == MAP_FAILED) return;
      xkb_keymap* keymap = xkb_keymap_new_from_string(p.xkb, text, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                      XKB_KEYMAP_COMPILE_NO_FLAGS);
      munmap(text, size);
      if (keymap == nullptr) {
        say("badkeymap\n");
        return;
      }
      xkb_state_unref(p.state);
      xkb_keymap_unref(p.keymap);
      p.keymap = keymap;
      p.state = xkb_state_new(keymap);
    },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key,
       std::uint32_t state) {
      auto& p = *static_cast<Probe*>(data);
      if (p.state == nullptr) return;
      char name[64];
      xkb_keysym_get_name(xkb_state_key_get_one_sym(p.state, key + 8), name, sizeof name);
      if (state == WL_KEYBOARD_KEY_STATE_PRESSED) {
        say("key %s %s\n", name, activeModifiers(p.state).c_str());
      } else {
        say("keyup %s\n", name);
      }
    },
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
       std::uint32_t locked, std::uint32_t group) {
      auto& p = *static_cast<Probe*>(data);
      if (p.state != nullptr)
        xkb_state_update_mask(p.state, depressed, latched, locked, 0, 0, group);
    },
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

const wl_seat_listener kSeat = {
    [](void* data, wl_seat* seat, std::uint32_t caps) {
      auto& p = *static_cast<Probe*>(data);
      if ((caps & WL_SEAT_CAPABILITY_POINTER) != 0 && p.pointer == nullptr) {
        p.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(p.pointer, &kPointer, &p);
      }
      if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && p.keyboard == nullptr) {
        p.keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(p.keyboard, &kKeyboard, &p);
      }
    },
    [](void*, wl_seat*, const char*) {},
};

const xdg_wm_base_listener kWmBase = {
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }};

const xdg_surface_listener kXdgSurface = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      auto& p = *static_cast<Probe*>(data);
      xdg_surface_ack_configure(surface, serial);
      if (p.width <= 0 || p.height <= 0) {
        p.width = 640;
        p.height = 480;
      }
      paint(p);
      p.configured = true;
    }};

const xdg_toplevel_listener kToplevel = {
    [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
      auto& p = *static_cast<Probe*>(data);
      if (width > 0 && height > 0) {
        p.width = width;
        p.height = height;
      }
    },
    [](void*, xdg_toplevel*) { std::exit(0); },
    [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
    [](void*, xdg_toplevel*, wl_array*) {},
};

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t) {
      auto& p = *static_cast<Probe*>(data);
      if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        p.compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
      } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        p.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
      } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        p.wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(p.wmBase, &kWmBase, &p);
      } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && p.seat == nullptr) {
        p.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
        wl_seat_add_listener(p.seat, &kSeat, &p);
      }
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

int main() {
  Probe p;
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return 1;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistry, &p);
  wl_display_roundtrip(display);
  if (p.compositor == nullptr || p.shm == nullptr || p.wmBase == nullptr) return 1;
  p.surface = wl_compositor_create_surface(p.compositor);
  p.xdgSurface = xdg_wm_base_get_xdg_surface(p.wmBase, p.surface);
  xdg_surface_add_listener(p.xdgSurface, &kXdgSurface, &p);
  p.toplevel = xdg_surface_get_toplevel(p.xdgSurface);
  xdg_toplevel_add_listener(p.toplevel, &kToplevel, &p);
  xdg_toplevel_set_app_id(p.toplevel, "vexel-probe");
  wl_surface_commit(p.surface);
  while (!p.configured) {
    if (wl_display_dispatch(display) < 0) return 1;
  }
  wl_display_roundtrip(display);
  say("ready %d %d\n", p.width, p.height);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
