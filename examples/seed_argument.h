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
  // Read wider than a seed, so that a negative or too large number is told apart from a typo.
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool whole = !text.empty() && end == text.data() + text.size();
  if (!whole || (error != std::errc() && error != std::errc::result_out_of_range)) {
    std::cerr << program << ": seed '" << text << "' is not a whole number\n" << usage;
    return 2;
  }
  if (error == std::errc::result_out_of_range || value < 0 || value > 0xFFFFFFFF) {
    std::cerr << program << ": seed '" << text << "' is out of range (0 to 4294967295)\n" << usage;
    return 2;
  }
  seed = static_cast<std::uint32_t>(value);
  return std::nullopt;
}

}  // namespace examples
