// syslog_probe - logs through glibc's openlog/syslog so tests can check the capture.
//
//   syslog_probe <identity|-> <pid|nopid> <facility> [<severity> <text>]...
// "-" skips openlog (glibc then uses the program name); facility and severity are the
// numbers of <syslog.h> (facility unshifted, 2 = mail).
#include <syslog.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 4) % 2 != 0) return 2;
  const int facility = std::atoi(argv[3]) << 3;
  if (std::strcmp(argv[1], "-") != 0) {
    openlog(argv[1], std::strcmp(argv[2], "pid") == 0 ? LOG_PID : 0, facility);
  }
  for (int index = 4; index < argc; index += 2) {
    syslog(facility | std::atoi(argv[index]), "%s", argv[index + 1]);
  }
  closelog();
  return 0;
}
