/* Reads a raw frame stream on stdin as fast as the pipe allows, discarding
 * the bytes, and reports how whole frames arrived during a measuring window:
 *   frame_reader FRAME_BYTES NOMINAL_MS WARMUP_S MEASURE_S
 * prints "frames fps p50_ms p99_ms max_ms jitter_p99_ms", where jitter is the
 * distance of an arrival interval from NOMINAL_MS, once the window is over;
 * then goes on draining the pipe until the writer ends it. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double nominal_ms;
static int report(const double* arrivals, size_t n);

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double rank(const double* sorted, size_t n, double q) {
  if (n == 0) return 0;
  size_t i = (size_t)(q * (double)n);
  return sorted[i < n ? i : n - 1];
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s FRAME_BYTES NOMINAL_MS WARMUP_S MEASURE_S\n", argv[0]);
    return 2;
  }
  const unsigned long long frame = strtoull(argv[1], NULL, 10);
  nominal_ms = atof(argv[2]);
  const double warmup = atof(argv[3]), measure = atof(argv[4]);
  static char buffer[1 << 20];
  size_t cap = 1 << 16, n = 0;
  double* arrivals = malloc(cap * sizeof *arrivals);
  const double start = now_s(), from = start + warmup, until = from + measure;
  unsigned long long pending = 0;
  for (;;) {
    const ssize_t got = read(0, buffer, sizeof buffer);
    if (got <= 0) break;
    const double t = now_s();
    pending += (unsigned long long)got;
    for (; pending >= frame; pending -= frame) {
      if (t < from) continue;
      if (n == cap) arrivals = realloc(arrivals, (cap *= 2) * sizeof *arrivals);
      arrivals[n++] = t;
    }
    if (t >= until) break;
  }
  int status = report(arrivals, n);
  fflush(stdout);
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  return status;
}

static int report(const double* arrivals, size_t n) {
  if (n < 2) {
    printf("%zu 0 0 0 0 0\n", n);
    return 1;
  }
  const double nominal = nominal_ms;
  double* gaps = malloc((n - 1) * sizeof *gaps);
  double* off = malloc((n - 1) * sizeof *off);
  for (size_t i = 1; i < n; ++i) {
    gaps[i - 1] = (arrivals[i] - arrivals[i - 1]) * 1000;
    off[i - 1] = gaps[i - 1] > nominal ? gaps[i - 1] - nominal : nominal - gaps[i - 1];
  }
  qsort(gaps, n - 1, sizeof *gaps, by_value);
  qsort(off, n - 1, sizeof *off, by_value);
  printf("%zu %.2f %.2f %.2f %.2f %.2f\n", n, (double)(n - 1) / (arrivals[n - 1] - arrivals[0]),
         rank(gaps, n - 1, 0.5), rank(gaps, n - 1, 0.99), gaps[n - 2], rank(off, n - 1, 0.99));
  return 0;
}
