// allelix-lab: reproducible experiments on the square-root problem.
#include <unistd.h>

#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "lab.h"
#include "ranks.h"

int main(int argc, char** argv) {
  // Under mpirun (with a lab built with MPI) the processes share a batch's runs.
  std::unique_ptr<allelix::lab::Ranks> ranks;
  try {
    ranks = allelix::lab::JoinRanks(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "allelix-lab: " << e.what() << "\n";
    return 1;
  }
  std::ios::sync_with_stdio(false);
  allelix::lab::Console console{
      std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, [] {
        const auto now = std::chrono::steady_clock::now();
        return std::chrono::duration<double>(now.time_since_epoch()).count();
      }};
  console.ranks = ranks.get();
  return allelix::lab::RunLab(std::vector<std::string>(argv, argv + argc), console);
}
