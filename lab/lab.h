// allelix-lab as a function of its arguments and streams, so tests can drive it in-process.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace allelix::lab {

// What the lab talks to besides its arguments.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool showProgress = false;        // a batch reports its progress on err
  std::function<double()> seconds;  // a steady clock for the time per run
};

// Runs the lab with args (args[0] is the program name); returns the exit status: 0 done,
// 1 a failure while running or writing, 2 a bad command line.
int RunLab(const std::vector<std::string>& args, Console& console);

}  // namespace allelix::lab
