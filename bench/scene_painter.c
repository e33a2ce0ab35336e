/* Keeps the root window of DISPLAY changing at RATE Hz:
 *   scene_painter full RATE     the whole screen in a new colour each step
 *   scene_painter moving RATE   five 320x220 rectangles sliding over a grey field */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xcb/xcb.h>

static void fill(xcb_connection_t* c, xcb_window_t root, xcb_gcontext_t gc, unsigned colour, int x,
                 int y, int w, int h) {
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
  const xcb_rectangle_t r = {(short)x, (short)y, (unsigned short)w, (unsigned short)h};
  xcb_poly_fill_rectangle(c, root, gc, 1, &r);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s full|moving RATE\n", argv[0]);
    return 2;
  }
  const int moving = strcmp(argv[1], "moving") == 0;
  const long step_ns = 1000000000L / atol(argv[2]);
  xcb_connection_t* c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) return 1;
  const xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const int w = s->width_in_pixels, h = s->height_in_pixels;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, s->root, 0, NULL);
  fill(c, s->root, gc, 0x808080, 0, 0, w, h);
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  int was[5] = {0};
  for (unsigned k = 0;; ++k) {
    if (moving) {
      for (int i = 0; i < 5; ++i) {
        const int span = w - 320, x0 = (int)((k * 4 + (unsigned)i * 400) % (unsigned)(2 * span));
        const int x = x0 < span ? x0 : 2 * span - x0, y = 60 + i * (h - 280) / 5;
        if (k > 0) fill(c, s->root, gc, 0x808080, was[i], y, 320, 220);
        fill(c, s->root, gc, 0x204060u * (unsigned)(i + 1) ^ k, x, y, 320, 220);
        was[i] = x;
      }
    } else {
      fill(c, s->root, gc, (k * 0x1f3b5du) & 0xffffffu, 0, 0, w, h);
    }
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
    if (xcb_connection_has_error(c)) return 0;
    next.tv_nsec += step_ns;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
  }
}
