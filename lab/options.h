// The lab's command line: what it accepts, and how each value is read and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "allelix/experiment/program.h"
#include "allelix/generator.h"
#include "allelix/platform.h"

namespace allelix::lab {

// Everything the command line chose: how to run (seed, engine, runs, files) and the generator's
// settings. A setting left empty keeps the generator's own value.
struct Options : experiment::Options {
  int selectionType = SelectionElitism;
  int crossoverType = CrossoverTwoPoint;
  std::optional<double> mutationRate;
  std::optional<double> crossoverRate;
  std::optional<double> uniformRate;
  std::optional<double> tournamentRate;
  std::optional<int> eliteCount;
  std::uint32_t stopFlags = 60;
  std::optional<double> convergenceThreshold;
  std::optional<int> maxMinutes;
  std::optional<int> maxGenerations;
  std::optional<int> maxStagnation;

  bool operator==(const Options&) const = default;
};

// The outcome of reading a command line: options to run with, or an exit status to leave with
// (0 after --help, 2 after a usage error, whose one-line message has gone to the error stream).
struct ParsedCommandLine {
  std::optional<Options> options;
  int exitStatus = 0;
};

// Reads args (args[0] is the program name). Help goes to out, errors to err.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                                   std::ostream& err);

// The operator names the command line accepts, each with its selectionType or crossoverType.
struct OperatorName {
  std::string_view name;
  int number;
};
inline constexpr OperatorName SelectionNames[] = {{"roulette", SelectionRouletteWheel},
                                                  {"remainder", SelectionStochasticRemainder},
                                                  {"elitism", SelectionElitism},
                                                  {"tournament", SelectionTournament},
                                                  {"none", SelectionNone}};
inline constexpr OperatorName CrossoverNames[] = {{"one-point", CrossoverOnePoint},
                                                  {"two-point", CrossoverTwoPoint},
                                                  {"uniform", CrossoverUniform},
                                                  {"none", CrossoverNone}};

// The name of an operator number, "none" for a number without a name of its own.
template <std::size_t N>
std::string_view OperatorNameOf(const OperatorName (&names)[N], int number) {
  for (const OperatorName& entry : names) {
    if (entry.number == number) return entry.name;
  }
  return "none";
}

// The operator number a name or a number stands for, or an empty optional with *error set.
std::optional<int> ReadOperator(std::string_view text, std::span<const OperatorName> names,
                                std::string* error);

// The choices of an operator option for its help and error messages: "name or number, ...".
std::string OperatorChoices(std::span<const OperatorName> names);

}  // namespace allelix::lab
