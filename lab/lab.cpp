#include "lab.h"

#include <sstream>

#include "experiment.h"
#include "options.h"
#include "square_root.h"

namespace allelix::lab {

int RunLab(const std::vector<std::string>& args, Console& console) {
  const bool rankZero = console.ranks == nullptr || console.ranks->Rank() == 0;
  std::ostringstream discarded;  // the other ranks of a job read the same command line silently
  const ParsedCommandLine parsed = ParseCommandLine(args, rankZero ? console.out : discarded,
                                                    rankZero ? console.err : discarded);
  if (!parsed.options) {
    if (rankZero && parsed.exitStatus == 0 && !console.out.flush()) {
      console.err << "allelix-lab: cannot write to standard output\n";
      return 1;
    }
    return parsed.exitStatus;
  }
  Options options = *parsed.options;
  if (options.checkpointEvery != 1 && options.checkpointPath.empty() &&
      options.resumePath.empty()) {
    (rankZero ? console.err : discarded) << "allelix-lab: --checkpoint-every: needs --checkpoint\n";
    return 2;
  }
  if (!options.resumePath.empty()) {
    const auto parse = [](const std::vector<experiment::Argument>& arguments) {
      std::vector<std::string> args = {"allelix-lab"};
      for (const experiment::Argument& argument : arguments) {
        // name=text, so that a text starting with a dash stays the option's value
        args.push_back(argument.name + (argument.text.empty() ? "" : "=" + argument.text));
      }
      std::ostringstream ignored;
      return ParseCommandLine(args, ignored, ignored).options;
    };
    const std::optional<Options> resumed = experiment::ResumeOptions<demo::CMyGenerator>(
        options, "allelix-lab", parse, rankZero ? console.err : discarded);
    if (!resumed) return 2;
    options = *resumed;
  }
  return SquareRootProgram(options).Run(options, console);
}

}  // namespace allelix::lab
