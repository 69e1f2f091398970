// allelix-lab as a function of its arguments and streams, so tests can drive it in-process.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace allelix::lab {

class Ranks;

// What the lab talks to besides its arguments.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool showProgress = false;        // a batch reports its progress on err
  std::function<double()> seconds;  // a steady clock for the time per run
  // The MPI job a batch's runs are spread over, or null: rank 0 writes everything, the other
  // ranks run their share of the runs and write nothing.
  Ranks* ranks = nullptr;
  // The number of a signal that asked the lab to stop, 0 while none has; empty: never asked.
  // Consulted before every stop test of every run, on whichever thread runs it.
  std::function<int()> stopSignal = {};
};

// Runs the lab with args (args[0] is the program name); returns the exit status: 0 done,
// 1 a failure while running or writing, 2 a bad command line, 128 + the signal's number when
// stopSignal asked it to stop before the output files were in place (which it leaves as they
// were).
int RunLab(const std::vector<std::string>& args, Console& console);

}  // namespace allelix::lab
