/* korvex-bench-spawner - starts the benchmark's programs from a process that is itself
   tiny, and measures them.

   A forked child's peak resident memory (ru_maxrss) counts the pages it inherits before
   execve, so programs forked from the runner would all seem to need the runner's memory.
   The runner therefore starts this static program once and asks it, over standard input
   and output, to start each program:

     request: uint32 length, then length bytes: the argument strings, each ending in NUL,
              an empty string, the environment strings likewise, an empty string
     reply:   struct spawn_result below

   The program's standard input and output and error are /dev/null. The spawner ends at
   end of input. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct spawn_result {
  int32_t started;  /* 1 when the program ran and was waited for */
  int32_t status;   /* wait status */
  int64_t wall_ns;
  int64_t cpu_us;   /* user + system */
  int64_t peak_rss_kib;
};

enum { kMaxRequest = 1 << 20, kMaxStrings = 4096 };

static int read_exact(int fd, void *buffer, size_t size) {
  char *at = buffer;
  while (size > 0) {
    const ssize_t got = read(fd, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    at += got;
    size -= (size_t)got;
  }
  return 1;
}

static int write_exact(int fd, const void *buffer, size_t size) {
  const char *at = buffer;
  while (size > 0) {
    const ssize_t put = write(fd, at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return 0;
    at += put;
    size -= (size_t)put;
  }
  return 1;
}

/* split - point list at the NUL-ended strings from *at up to an empty one; their count,
   or -1 when the request is malformed. */
static int split(char **at, const char *end, char **list) {
  int count = 0;
  while (*at < end && **at != '\0') {
    const char *nul = memchr(*at, '\0', (size_t)(end - *at));
    if (nul == NULL || count == kMaxStrings - 1) return -1;
    list[count++] = *at;
    *at += nul - *at + 1;
  }
  if (*at >= end) return -1;
  ++*at;
  list[count] = NULL;
  return count;
}

static int64_t microseconds(struct timeval time) {
  return (int64_t)time.tv_sec * 1000000 + time.tv_usec;
}

static struct spawn_result run(char **argv, char **envp, int null_fd) {
  struct spawn_result result;
  struct timespec start, end;
  struct rusage usage;
  int status = 0;
  memset(&result, 0, sizeof result);
  (void)clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) return result;
  if (child == 0) {
    if (dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0 || dup2(null_fd, 2) < 0) _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
  }
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return result;
  }
  (void)clock_gettime(CLOCK_MONOTONIC, &end);
  result.started = 1;
  result.status = status;
  result.wall_ns = (int64_t)(end.tv_sec - start.tv_sec) * 1000000000 + (end.tv_nsec - start.tv_nsec);
  result.cpu_us = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
  result.peak_rss_kib = usage.ru_maxrss;
  return result;
}

int main(void) {
  static char request[kMaxRequest];
  static char *argv[kMaxStrings];
  static char *envp[kMaxStrings];
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return 1;
  for (;;) {
    uint32_t length = 0;
    if (!read_exact(0, &length, sizeof length)) return 0;
    if (length == 0 || length > kMaxRequest || !read_exact(0, request, length)) return 1;
    char *at = request;
    const char *end = request + length;
    if (split(&at, end, argv) < 1 || split(&at, end, envp) < 0) return 1;
    const struct spawn_result result = run(argv, envp, null_fd);
    if (!write_exact(1, &result, sizeof result)) return 1;
  }
}
