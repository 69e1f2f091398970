// heating_mpi's command line: an optional seed, or --help. (The other examples take the
// experiment layer's options.)
#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "allelix/experiment/numbers.h"

namespace examples {

// Reads `program [SEED]` into seed. Returns the exit status to end with at once (0 after --help,
// 1 when the help could not be written, 2 after a bad command line), or nothing when the program
// should run.
inline std::optional<int> ParseSeedArgument(std::string_view program, int argc, char** argv,
                                            std::optional<std::uint32_t>& seed) {
  const std::string usage = "usage: " + std::string(program) +
                            " [SEED]\n"
                            "  SEED  a whole number from 0 to 4294967295; the same seed repeats "
                            "the same run\n";
  if (argc == 1) return std::nullopt;
  const std::string_view text = argv[1];
  if (argc == 2 && (text == "-h" || text == "--help")) {
    if (!(std::cout << usage << std::flush)) {
      std::cerr << program << ": cannot write to standard output\n";
      return 1;
    }
    return 0;
  }
  if (argc > 2) {
    std::cerr << program << ": expected at most one argument, a seed\n" << usage;
    return 2;
  }
  std::string error;
  const std::optional<std::uint32_t> value = allelix::experiment::ReadSeed(text, &error);
  if (!value) {
    std::cerr << program << ": seed " << error << "\n" << usage;
    return 2;
  }
  seed = *value;
  return std::nullopt;
}

}  // namespace examples
