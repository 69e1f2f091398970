// allelix-lab as a function of its arguments and streams, so tests can drive it in-process.
#pragma once

#include <string>
#include <vector>

#include "allelix/experiment/program.h"

namespace allelix::lab {

// What the lab talks to besides its arguments: its streams, its clock, the MPI job it may run
// in and the signal that may ask it to stop.
using Console = experiment::Console;

// Runs the lab with args (args[0] is the program name); returns the exit status: 0 done,
// 1 a failure while running or writing, 2 a bad command line, 128 + the signal's number when
// stopSignal asked it to stop before the output files were in place (which it leaves as they
// were).
int RunLab(const std::vector<std::string>& args, Console& console);

}  // namespace allelix::lab
