// Stop requests by signal (POSIX), for programs that run experiments: SIGINT and SIGTERM ask the
// program to stop at its next stop test, and a second one ends it at once; SIGPIPE (a reader that
// went away) asks the same. Programs pass StopSignal to their Console.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace allelix::experiment::signals_detail {

// The first signal that asked the program to stop, 0 while none has. Written by the handler alone.
inline std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

}  // namespace allelix::experiment::signals_detail

extern "C" inline void AllelixRequestStop(int signal) {
  int none = 0;
  allelix::experiment::signals_detail::stopSignal.compare_exchange_strong(none, signal);
}

namespace allelix::experiment {

// The number of the first signal that asked the program to stop, 0 while none has.
inline int StopSignal() { return signals_detail::stopSignal.load(); }

// Catches SIGINT, SIGTERM and SIGPIPE as stop requests. A signal ignored when the program started
// stays ignored.
inline void CatchStopSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) {
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = AllelixRequestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART, so that a wait for a FIFO's reader ends instead of outlasting the signal;
    // SA_RESETHAND, so that a second SIGINT or SIGTERM ends the program at once.
    action.sa_flags = signal == SIGPIPE ? 0 : static_cast<int>(SA_RESETHAND);
    ::sigaction(signal, &action, nullptr);
  }
}

// Puts /dev/null, read-only, on a standard descriptor the program was started without, so that
// no file it opens takes its number; writing to it then still fails, and is reported.
inline void ReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDONLY);
  }
}

}  // namespace allelix::experiment
