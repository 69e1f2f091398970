// The command line the examples share: an optional seed, or --help.
#pragma once

#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace examples {

// Reads `program [SEED]` into seed. Returns the exit status to end with at once (0 after --help,
// 2 after a bad command line), or nothing when the program should run.
inline std::optional<int> ParseSeedArgument(std::string_view program, int argc, char** argv,
                                            std::optional<std::uint32_t>& seed) {
  const std::string usage = "usage: " + std::string(program) +
                            " [SEED]\n"
                            "  SEED  a whole number from 0 to 4294967295; the same seed repeats "
                            "the same run\n";
  if (argc == 1) return std::nullopt;
  const std::string_view text = argv[1];
  if (argc == 2 && (text == "-h" || text == "--help")) {
    std::cout << usage;
    return 0;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (argc > 2 || error != std::errc() || end != text.data() + text.size()) {
    std::cerr << program << ": expected at most one argument, a seed\n" << usage;
    return 2;
  }
  seed = value;
  return std::nullopt;
}

}  // namespace examples
