// The command line of an experiment program, on CLI11 (which the program links itself):
// --seed (also as a first positional argument), --runs, --jobs, --trace, --plot, --checkpoint,
// --checkpoint-every, --resume and --help.
#pragma once

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "allelix/experiment/numbers.h"
#include "allelix/experiment/program.h"
#include "allelix/experiment/signals.h"

namespace allelix::experiment {

// Breaks text into lines of at most width characters at spaces.
inline std::string Wrap(const std::string& text, std::size_t width) {
  std::string wrapped;
  std::size_t lineLength = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::size_t wordLength = end - start;
    if (lineLength > 0 && lineLength + 1 + wordLength > width) {
      wrapped += '\n';
      lineLength = 0;
    } else if (lineLength > 0) {
      wrapped += ' ';
      ++lineLength;
    }
    wrapped.append(text, start, wordLength);
    lineLength += wordLength;
    start = end + 1;
  }
  return wrapped;
}

// The help screen's layout: option names in a column of 30, their help wrapped to 100 in all.
inline constexpr std::size_t HelpNameColumn = 30;
inline constexpr std::size_t HelpWidth = 100;

inline void FormatHelp(CLI::App& app) { app.get_formatter()->column_width(HelpNameColumn); }

// An option's help, wrapped to fit beside the column of names.
inline std::string WrapHelp(const std::string& help) {
  return Wrap(help, HelpWidth - HelpNameColumn);
}

// Adds the options to app; each value is read strictly (a whole number in range, a file name)
// and stored into options, or parsing fails with a message that says what is wrong with it.
// The options given are listed in options.arguments, the positional seed as --seed.
inline void AddOptions(CLI::App& app, Options& options) {
  // Reads the text with read(text, &error) and stores the value, or fails the option.
  const auto add = [&app, &options](const std::string& names, const std::string& type,
                                    const std::string& help, auto read, auto store) {
    app.add_option_function<std::string>(
           names,
           [names, read, store, &options](const std::string& text) {
             std::string error;
             const auto value = read(text, &error);
             const std::string name = names.substr(0, names.find(','));
             if (!value) throw CLI::ValidationError(name, error);
             store(*value);
             options.arguments.push_back({name == "seed" ? "--seed" : name, text});
           },
           WrapHelp(help))
        ->type_name(type);
  };
  const auto count = [](std::int64_t high) {
    return [high](std::string_view text, std::string* error) {
      return ReadInteger(text, 1, high, error);
    };
  };
  const auto path = [](bool dash) {
    return [dash](std::string_view text, std::string* error) -> std::optional<std::string> {
      if (text.empty() || (text == "-" && !dash)) {
        *error = dash ? "needs a file name, or - for standard output" : "needs a file name";
        return std::nullopt;
      }
      return std::string(text);
    };
  };
  const auto storeSeed = [&options](std::uint32_t seed) {
    if (options.seed) throw CLI::ValidationError("--seed", "the seed is given twice");
    options.seed = seed;
  };
  add("--seed", "S",
      "Base seed, 0 to 4294967295: the same seed repeats the same runs (run r of a batch starts "
      "from S + r * 1048576). Without it a seed is drawn at random and printed",
      ReadSeed, storeSeed);
  add("seed", "S", "The same as --seed S", ReadSeed, storeSeed);
  add("--runs", "N", "Independent runs, 1 to " + std::to_string(MaxRuns) + " (default 1)",
      count(MaxRuns), [&options](std::int64_t runs) { options.runs = static_cast<int>(runs); });
  add("--jobs", "N",
      "Threads a batch runs on, 1 to " + std::to_string(MaxJobs) +
          "; the results do not depend on it (default: one per processor)",
      count(MaxJobs), [&options](std::int64_t jobs) { options.jobs = static_cast<int>(jobs); });
  add("--trace", "FILE",
      "Write a CSV row for every stop test of every run to FILE, or to standard output with - "
      "(the summary then goes to standard error). A regular FILE is replaced only when every "
      "run has ended; a FIFO or a device is written run by run, as each run ends",
      path(true), [&options](const std::string& file) { options.tracePath = file; });
  add("--plot", "FILE.svg",
      "Draw the fitness and the convergence over the generations as an SVG chart in FILE.svg, "
      "written when every run has ended",
      path(false), [&options](const std::string& file) { options.plotPath = file; });
  add("--checkpoint", "PATH",
      "Save each run's state after every --checkpoint-every generations and at its end, to the "
      "file PATH (to a directory PATH, one file per run, with --runs), so that --resume PATH "
      "can continue after a crash",
      path(false), [&options](const std::string& file) { options.checkpointPath = file; });
  add("--checkpoint-every", "N", "Generations between two checkpoints, 1 or more (default 1)",
      count(std::numeric_limits<int>::max()),
      [&options](std::int64_t every) { options.checkpointEvery = static_cast<int>(every); });
  add("--resume", "PATH",
      "Continue the checkpointed run or batch in PATH with the options kept there, to the same "
      "trace, chart and summary as without the break; an option given again must agree",
      path(false), [&options](const std::string& file) { options.resumePath = file; });
}

// The options that a list of arguments gives, or nothing when they do not parse.
inline std::optional<Options> ParseArguments(const std::vector<Argument>& arguments) {
  CLI::App app;
  Options options;
  AddOptions(app, options);
  std::vector<std::string> args = {"program"};
  for (const Argument& argument : arguments) {
    // name=text, so that a text starting with a dash stays the option's value
    args.push_back(argument.name + (argument.text.empty() ? "" : "=" + argument.text));
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError&) {
    return std::nullopt;
  }
  return options;
}

// Reads the command line and runs the program on the process's console, with SIGINT, SIGTERM
// and SIGPIPE as stop requests. Returns the exit status: 0 after --help, 2 after a bad command
// line, or what Program::Run returns.
template <class TGenerator>
int Main(const Program<TGenerator>& program, const std::string& description, int argc,
         char** argv) {
  ReserveStandardDescriptors();
  CLI::App app(Wrap(description, HelpWidth), program.name);
  FormatHelp(app);
  app.footer(
      Wrap("Ctrl-C (SIGINT) or SIGTERM stops the runs at the next generation without replacing the "
           "files of --trace and --plot (with --checkpoint, after saving a last checkpoint). Exit "
           "status: 0 done, 1 a failure while running or writing, "
           "2 a bad command line, 130 or 143 stopped by SIGINT or SIGTERM.",
           HelpWidth));
  Options options;
  AddOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    if (std::cout.flush()) return 0;
    std::cerr << program.name << ": cannot write to standard output\n";
    return 1;
  } catch (const CLI::ParseError& e) {
    std::cerr << program.name << ": " << e.what() << " (see --help)\n";
    return 2;
  }
  if (options.checkpointEvery != 1 && options.checkpointPath.empty() &&
      options.resumePath.empty()) {
    std::cerr << program.name << ": --checkpoint-every: needs --checkpoint (see --help)\n";
    return 2;
  }
  if (!options.resumePath.empty()) {
    const std::optional<Options> resumed =
        ResumeOptions<TGenerator>(options, program.name, ParseArguments, std::cerr);
    if (!resumed) return 2;
    options = *resumed;
  }
  CatchStopSignals();
  Console console{.out = std::cout,
                  .err = std::cerr,
                  .showProgress = ::isatty(STDERR_FILENO) == 1,
                  .seconds = SteadySeconds,
                  .ranks = nullptr,
                  .stopSignal = StopSignal};
  return program.Run(options, console);
}

}  // namespace allelix::experiment
