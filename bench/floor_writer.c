/* The floor: writes one fixed frame of WIDTH x HEIGHT x 4 bytes to stdout
 * every trunc(1000 / FPS) ms against absolute deadlines, skipping missed
 * ones, through a pipe enlarged to pipe-max-size. Nothing else.
 *   floor_writer WIDTH HEIGHT FPS */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s WIDTH HEIGHT FPS\n", argv[0]);
    return 2;
  }
  const size_t bytes = (size_t)atol(argv[1]) * (size_t)atol(argv[2]) * 4;
  const long long interval = 1000000LL * (1000 / atol(argv[3]));
  unsigned char* frame = malloc(bytes);
  memset(frame, 0x5a, bytes);
  FILE* max = fopen("/proc/sys/fs/pipe-max-size", "r");
  int size = 0;
  if (max != NULL && fscanf(max, "%d", &size) == 1) (void)fcntl(1, F_SETPIPE_SZ, size);
  if (max != NULL) fclose(max);
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    for (size_t done = 0; done < bytes;) {
      const ssize_t n = write(1, frame + done, bytes - done);
      if (n <= 0) return 0;
      done += (size_t)n;
    }
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    do {
      next.tv_nsec += interval;
      next.tv_sec += next.tv_nsec / 1000000000;
      next.tv_nsec %= 1000000000;
    } while (next.tv_sec < t.tv_sec || (next.tv_sec == t.tv_sec && next.tv_nsec <= t.tv_nsec));
  }
}
