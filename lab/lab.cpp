#include "lab.h"

#include <sstream>

#include "experiment.h"
#include "options.h"

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
  return SquareRootProgram(*parsed.options).Run(*parsed.options, console);
}

}  // namespace allelix::lab
