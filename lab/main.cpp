// allelix-lab: reproducible experiments on the square-root problem.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "lab.h"
#include "ranks.h"

namespace {

// The first signal that asked the lab to stop, 0 while none has. Written by the handler alone.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void RequestStop(int signal) {
  int none = 0;
  stopSignal.compare_exchange_strong(none, signal);
}

// SIGINT and SIGTERM ask the lab to stop at its next stop test; a second one ends it at once.
// SIGPIPE, a reader that went away, stops it the same way. A signal ignored when the lab
// started stays ignored.
void CatchStopSignals() {
  for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) {
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART, so that a wait for a FIFO's reader ends instead of outlasting the signal.
    action.sa_flags = signal == SIGPIPE ? 0 : static_cast<int>(SA_RESETHAND);
    ::sigaction(signal, &action, nullptr);
  }
}

// Puts /dev/null, read-only, on a standard descriptor the lab was started without, so that no
// file the lab opens takes its number; writing to it then still fails, and is reported.
void ReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDONLY);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ReserveStandardDescriptors();
  // Under mpirun (with a lab built with MPI) the processes share a batch's runs.
  std::unique_ptr<allelix::lab::Ranks> ranks;
  try {
    ranks = allelix::lab::JoinRanks(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "allelix-lab: " << e.what() << "\n";
    return 1;
  }
  CatchStopSignals();
  std::ios::sync_with_stdio(false);
  allelix::lab::Console console{
      std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, [] {
        const auto now = std::chrono::steady_clock::now();
        return std::chrono::duration<double>(now.time_since_epoch()).count();
      }};
  console.ranks = ranks.get();
  console.stopSignal = [] { return stopSignal.load(); };
  return allelix::lab::RunLab(std::vector<std::string>(argv, argv + argc), console);
}
