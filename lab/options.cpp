#include "options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <system_error>

#include "allelix/experiment/command_line.h"
#include "square_root.h"

namespace allelix::lab {

std::string OperatorChoices(std::span<const OperatorName> names) {
  std::string choices;
  for (const OperatorName& entry : names) {
    choices += (choices.empty() ? "" : ", ") + std::string(entry.name) + " or " +
               std::to_string(entry.number);
  }
  return choices;
}

std::optional<int> ReadOperator(std::string_view text, std::span<const OperatorName> names,
                                std::string* error) {
  for (const OperatorName& entry : names) {
    if (text == entry.name || text == std::to_string(entry.number)) return entry.number;
  }
  *error = "unknown name '" + std::string(text) + "' (one of: " + OperatorChoices(names) + ")";
  return std::nullopt;
}

namespace {

using experiment::MaxJobs;
using experiment::MaxRuns;
using experiment::ReadDouble;
using experiment::ReadInteger;
using experiment::Shortest;

constexpr std::int64_t IntMax = std::numeric_limits<int>::max();
constexpr std::uint32_t KnownStopFlags =
    StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;

// Stop flags may hold only the four criteria, and at least one, or the run would never end.
std::optional<std::uint32_t> ReadStopFlags(std::string_view text, std::string* error) {
  const auto value = ReadInteger(text, 0, 0xFFFFFFFF, error);
  if (!value) return std::nullopt;
  const auto flags = static_cast<std::uint32_t>(*value);
  const std::string criteria = "4 (convergence), 8 (minutes), 16 (generations) and 32 (stagnation)";
  if ((flags & ~KnownStopFlags) != 0) {
    *error = "'" + std::string(text) + "' is not a sum of " + criteria;
    return std::nullopt;
  }
  if (flags == 0) {
    *error = "'" + std::string(text) +
             "' enables no stop criterion, so the run would never end; "
             "use a sum of " +
             criteria;
    return std::nullopt;
  }
  return flags;
}

// One option: the text CLI11 collected and how to store it into Options once parsing succeeded.
struct Field {
  CLI::Option* option;
  std::string text;
  std::function<bool(std::string_view, Options&, std::string*)> store;
};

// The type a member holds, seen through an optional.
template <class T>
struct Held {
  using type = T;
};
template <class T>
struct Held<std::optional<T>> {
  using type = T;
};

// Stores what read makes of the text into a member of Options or of its base.
template <class Owner, class T, class Read>
std::function<bool(std::string_view, Options&, std::string*)> Storing(T Owner::*member, Read read) {
  return [member, read](std::string_view text, Options& options, std::string* error) {
    const auto value = read(text, error);
    if (!value) return false;
    options.*member = static_cast<typename Held<T>::type>(*value);
    return true;
  };
}

auto Rate() {
  return [](std::string_view text, std::string* error) { return ReadDouble(text, 0, 1, error); };
}

auto Count(std::int64_t low) {
  return [low](std::string_view text, std::string* error) {
    return ReadInteger(text, low, IntMax, error);
  };
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, std::ostream& out,
                                   std::ostream& err) {
  const demo::CMyGenerator defaults;
  CLI::App app(
      experiment::Wrap("Evolves the square root of 1,522,756 with the settings given, once or in a "
                       "batch of independent runs, and reports what the runs found. With --seed "
                       "the runs repeat exactly.",
                       100),
      "allelix-lab");
  experiment::FormatHelp(app);

  std::deque<Field> fields;  // CLI11 keeps pointers to each text, so the texts never move
  // Every option arrives as text, so that the lab reads numbers itself, exactly and strictly.
  const auto add = [&](const std::string& name, const std::string& type, const std::string& help,
                       auto store) {
    fields.push_back(Field{nullptr, {}, store});
    fields.back().option =
        app.add_option(name, fields.back().text, experiment::WrapHelp(help))->type_name(type);
  };
  // A rate trial draws a number below 10^7 and compares it with rate x 10^7; the classic
  // engine's draws stop at 32767, which changes the chance a rate stands for.
  const auto rateHelp = [](const char* what, double value, const char* classicChance) {
    return std::string(what) + ", from 0 to 1, read exactly as typed (default " + Shortest(value) +
           "); on the classic engine it succeeds with chance " + classicChance;
  };
  const char* const lessThan = "min(1, ceil(rate x 10^7) / 32768)";

  add("--engine", "NAME",
      "Random engine: mt19937, classic (15-bit linear congruential) or runtime (the C "
      "library's rand) (default mt19937). The classic engine's 15-bit draws make a rate trial "
      "succeed with chance min(1, ceil(rate x 10^7) / 32768), so the default mutation rate acts "
      "as about 0.31 there",
      [](std::string_view text, Options& options, std::string* error) {
        const auto engine = EngineFromName(text);
        if (!engine)
          *error = "unknown engine '" + std::string(text) + "' (one of: mt19937, classic, runtime)";
        if (engine) options.engine = *engine;
        return engine.has_value();
      });
  add("--seed", "S",
      "Base seed, 0 to 4294967295, so that every run repeats exactly: run r (from 0) reseeds "
      "with S + 1048576r, then S + 1048576r + 1, and so on (mod 2^32). Without it the lab draws "
      "S at random and prints it",
      Storing(&Options::seed, experiment::ReadSeed));
  CLI::Option* const seedOption = fields.back().option;
  add("--selection", "NAME|N",
      "Selection: " + OperatorChoices(SelectionNames) + " (default " +
          std::string(OperatorNameOf(SelectionNames, defaults.selectionType)) + ")",
      Storing(&Options::selectionType, [](std::string_view text, std::string* error) {
        return ReadOperator(text, SelectionNames, error);
      }));
  add("--crossover", "NAME|N",
      "Crossover: " + OperatorChoices(CrossoverNames) + " (default " +
          std::string(OperatorNameOf(CrossoverNames, defaults.crossoverType)) + ")",
      Storing(&Options::crossoverType, [](std::string_view text, std::string* error) {
        return ReadOperator(text, CrossoverNames, error);
      }));
  add("--mutation-rate", "RATE",
      rateHelp("Chance that an individual has one gene flipped", defaults.mutationRate, lessThan),
      Storing(&Options::mutationRate, Rate()));
  add("--crossover-rate", "RATE",
      rateHelp("Chance that a pair is recombined", defaults.crossoverRate, lessThan),
      Storing(&Options::crossoverRate, Rate()));
  add("--uniform-rate", "RATE",
      rateHelp("Per-gene exchange rate of uniform crossover", defaults.uniformRate, lessThan),
      Storing(&Options::uniformRate, Rate()));
  add("--tournament-rate", "RATE",
      rateHelp("Chance that the fitter contestant wins a tournament", defaults.tournamentRate,
               "min(1, (floor(rate x 10^7) + 1) / 32768)"),
      Storing(&Options::tournamentRate, Rate()));
  add("--elite-count", "N",
      "Individuals elitism copies over the tail of the population, 0 or more (default " +
          std::to_string(defaults.eliteCount) + ")",
      Storing(&Options::eliteCount, Count(0)));
  add("--stop-flags", "FLAGS",
      "Stop criteria to apply, a sum of 4 (convergence), 8 (minutes), 16 (generations) and "
      "32 (stagnation) (default 60, all four)",
      Storing(&Options::stopFlags, ReadStopFlags));
  add("--convergence-threshold", "X",
      "Flag 4: stop once the population's convergence reaches X, from 0 to 1 (default " +
          Shortest(defaults.convergenceThreshold) + ")",
      Storing(&Options::convergenceThreshold, Rate()));
  add("--max-minutes", "N",
      "Flag 8: stop once the run has taken N whole minutes, 0 or more (default " +
          std::to_string(defaults.maxMinutes) + ")",
      Storing(&Options::maxMinutes, Count(0)));
  add("--max-generations", "N",
      "Flag 16: stop after N generations, 0 or more (default " +
          std::to_string(defaults.maxGenerations) + ")",
      Storing(&Options::maxGenerations, Count(0)));
  add("--max-stagnation", "N",
      "Flag 32: stop once N generations passed without a better individual, 0 or more "
      "(default " +
          std::to_string(defaults.maxStagnation) + ")",
      Storing(&Options::maxStagnation, Count(0)));
  add("--runs", "N", "Independent runs, 1 to " + std::to_string(MaxRuns) + " (default 1)",
      Storing(&Options::runs, [](std::string_view text, std::string* error) {
        return ReadInteger(text, 1, MaxRuns, error);
      }));
  add("--jobs", "N",
      "Threads a batch runs on, 1 to " + std::to_string(MaxJobs) +
          "; the results do not depend on it (default: one per processor; always 1 with the "
          "runtime engine, and under mpirun, which spreads the runs over its processes)",
      Storing(&Options::jobs, [](std::string_view text, std::string* error) {
        return ReadInteger(text, 1, MaxJobs, error);
      }));
  add("--trace", "FILE",
      "Write a CSV row for every stop test of every run to FILE, or to standard output with "
      "- (the summary then goes to standard error). A regular FILE is replaced only when every "
      "run has ended; a FIFO or a device is written run by run, as each run ends",
      [](std::string_view text, Options& options, std::string* error) {
        if (text.empty()) *error = "needs a file name, or - for standard output";
        options.tracePath = text;
        return !text.empty();
      });
  add("--plot", "FILE.svg",
      "Draw the distance from the optimum and the convergence over the generations as an "
      "SVG chart in FILE.svg, written when every run has ended",
      [](std::string_view text, Options& options, std::string* error) {
        if (text.empty() || text == "-") *error = "needs a file name";
        options.plotPath = text;
        return !text.empty() && text != "-";
      });

  add("--checkpoint", "PATH",
      "Save the run's state to the file PATH after every --checkpoint-every generations and at "
      "the end, replacing it atomically, so that --resume PATH can continue the run after a "
      "crash; with --runs, PATH is a directory that keeps one file per run",
      Storing(&Options::checkpointPath, experiment::ReadPath));
  add("--checkpoint-every", "N", "Generations between two checkpoints, 1 or more (default 1)",
      Storing(&Options::checkpointEvery, Count(1)));
  add("--resume", "PATH",
      "Continue the checkpointed run (or batch) in PATH with the options kept there, to the "
      "same trace, chart and summary as an uninterrupted run; an option given again must agree",
      Storing(&Options::resumePath, experiment::ReadPath));

  bool clockSeeding = false;
  app.add_flag("--clock-seeding", clockSeeding,
               experiment::WrapHelp(
                   "Reseed from the clock's whole seconds at every reseed, as a clock-seeded "
                   "platform does, instead of following a seed schedule: every generation within "
                   "one second repeats the same draws, and no run can be repeated. Only for "
                   "reproducing such a platform (with --engine classic); excludes --seed"));

  app.footer(
      experiment::Wrap("Ctrl-C (SIGINT) or SIGTERM stops the runs at the next generation without "
                       "replacing the files of --trace and --plot (with --checkpoint, after saving "
                       "a last checkpoint). Exit status: 0 done, 1 a "
                       "failure while running or writing, 2 a bad command line, 130 or 143 stopped "
                       "by SIGINT or SIGTERM.",
                       100));

  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return {std::nullopt, 0};
  } catch (const CLI::ParseError& e) {
    err << "allelix-lab: " << e.what() << " (see --help)\n";
    return {std::nullopt, 2};
  }

  if (clockSeeding && seedOption->count() > 0) {
    err << "allelix-lab: --clock-seeding: not with --seed, which fixes every reseed\n";
    return {std::nullopt, 2};
  }
  Options options;
  options.clockSeeding = clockSeeding;
  if (clockSeeding) options.arguments.push_back({"--clock-seeding", ""});
  for (const Field& field : fields) {
    if (field.option->count() == 0) continue;
    std::string error;
    if (!field.store(field.text, options, &error)) {
      err << "allelix-lab: " << field.option->get_name() << ": " << error << "\n";
      return {std::nullopt, 2};
    }
    options.arguments.push_back({field.option->get_name(), field.text});
  }
  return {options, 0};
}

}  // namespace allelix::lab
