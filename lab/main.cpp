// allelix-lab: reproducible experiments on the square-root problem.
#include <unistd.h>

#include <chrono>
#include <iostream>

#include "lab.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  allelix::lab::Console console{
      std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, [] {
        const auto now = std::chrono::steady_clock::now();
        return std::chrono::duration<double>(now.time_since_epoch()).count();
      }};
  return allelix::lab::RunLab(std::vector<std::string>(argv, argv + argc), console);
}
