// allelix-lab: reproducible experiments on the square-root problem.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "allelix/experiment/signals.h"
#include "lab.h"
#include "ranks.h"

int main(int argc, char** argv) {
  allelix::experiment::ReserveStandardDescriptors();
  // Under mpirun (with a lab built with MPI) the processes share a batch's runs.
  std::unique_ptr<allelix::lab::Ranks> ranks;
  try {
    ranks = allelix::lab::JoinRanks(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "allelix-lab: " << e.what() << "\n";
    return 1;
  }
  allelix::experiment::CatchStopSignals();
  std::ios::sync_with_stdio(false);
  allelix::lab::Console console{.out = std::cout,
                                .err = std::cerr,
                                .showProgress = ::isatty(STDERR_FILENO) == 1,
                                .seconds = allelix::experiment::SteadySeconds,
                                .ranks = ranks.get(),
                                .stopSignal = allelix::experiment::StopSignal};
  return allelix::lab::RunLab(std::vector<std::string>(argv, argv + argc), console);
}
