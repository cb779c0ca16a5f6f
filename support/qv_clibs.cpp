// qv_clibs - run-as and stopwatch services. See qv_clibs.h.
#include "support/qv_clibs.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/qv_log.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_clibs";
constexpr long kMicrosPerSecond = 1000000;

}  // namespace

int qv_set_run_as(const char* user) {
  if (user == nullptr || *user == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  errno = 0;
  const passwd* account = getpwnam(user);
  if (account == nullptr) {
    // An unknown name leaves errno at 0; "Success" would be no explanation at all.
    const int error = errno != 0 ? errno : ENOENT;
    QV_ERROR(kModule, "Error retrieving %s UID: [%s]\n", user, std::strerror(error));
    return 0;
  }
  const uid_t wanted = account->pw_uid;
  QV_DEBUG(kModule, "UID for user %s is %d", user, static_cast<int>(wanted));
  const uid_t effective = geteuid();
  QV_DEBUG(kModule, "Program is running as UID %d", static_cast<int>(effective));
  if (effective != wanted && effective != 0) {
    QV_ERROR(kModule, "This program must be run as 'root' or '%s' user", user);
    return 0;
  }
  // Already the user, or asked to stay root: nothing to change.
  if (effective != 0 || wanted == 0) return 1;
  QV_DEBUG(kModule, "Attempting to set effective UID to %d", static_cast<int>(wanted));
  // Only the effective id changes, so the program can return to root later.
  if (seteuid(wanted) == -1) {
    QV_ERROR(kModule, "Error setting effective UID %d: [%s]", static_cast<int>(wanted),
             std::strerror(errno));
    return 0;
  }
  QV_DEBUG(kModule, "Effective UID set to %d", static_cast<int>(wanted));
  return 1;
}

int qv_stopwatch_start(qv_stopwatch* watch) {
  if (watch == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  *watch = qv_stopwatch{};
  if (gettimeofday(&watch->start, nullptr) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return 0;
  }
  QV_DEBUG(kModule, "stopwatch started");
  return 1;
}

double qv_stopwatch_stop(qv_stopwatch* watch) {
  if (watch == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return -1;
  }
  if (watch->start.tv_sec == 0) {
    QV_DEBUG(kModule, "timer not started");
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return -1;
  }
  if (gettimeofday(&watch->stop, nullptr) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return -1;
  }
  QV_DEBUG(kModule, "timer stopped");
  const long seconds = static_cast<long>(watch->stop.tv_sec - watch->start.tv_sec);
  const long micros = static_cast<long>(watch->stop.tv_usec - watch->start.tv_usec);
  QV_DEBUG(kModule, "%ld secs %ld usecs", seconds, micros);
  // The microsecond part borrows a whole second when it runs negative.
  const double elapsed =
      micros < 0 ? static_cast<double>(seconds - 1) +
                       static_cast<double>(micros + kMicrosPerSecond) / kMicrosPerSecond
                 : static_cast<double>(seconds) + static_cast<double>(micros) / kMicrosPerSecond;
  QV_DEBUG(kModule, "elapsed %f seconds", elapsed);
  return elapsed;
}

}  // namespace korvex
