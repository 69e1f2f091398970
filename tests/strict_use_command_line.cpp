// The experiment layer's command line instantiated under the strict warnings of strict_headers
// (see CMakeLists.txt).
#include "allelix/experiment/command_line.h"
#include "allelix/generator.h"

namespace allelix::strict {

class CLine final : public CIndividual<CLine, CBit> {
 public:
  double Fitness(int fitnessContext) override { return fitnessContext + geneCount; }
};

int UseTheCommandLine(int argc, char** argv) {
  const experiment::Program<CGeneratorEx<CLine>> program;
  return experiment::Main(program, "strict", argc, argv);
}

}  // namespace allelix::strict
