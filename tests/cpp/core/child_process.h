// Runs a test body in a forked child process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vorn::core::test {

// Runs body in a forked child (with an alarm, so a hang fails rather than blocks) and returns
// its exit status: 0 for success, 2 or 3 when body did not return or threw, 100 + the signal
// number when the child was killed, -1 when fork failed.
inline int in_child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    int rc = 2;
    try {
      rc = body();
    } catch (...) {
      rc = 3;
    }
    _exit(rc);
  }
  if (pid < 0) {
    return -1;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace vorn::core::test
