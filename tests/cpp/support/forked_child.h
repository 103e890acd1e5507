#pragma once

// Waiting for a forked test child without hanging the test run.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace karvex::testing {

// The exit code of `child` (128 + the signal when a signal ended it), or -1
// with a test failure when it has not ended within 20 s (it is then killed).
inline int wait_for_child(pid_t child) {
  int status = 0;
  pid_t done = 0;
  for (int waited_ms = 0; waited_ms < 20000 && done == 0; waited_ms += 10) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "forked child hung";
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace karvex::testing
