// The experiment layer's command line instantiated under the strict warnings of strict_headers
// (see CMakeLists.txt).
#include "allelix/experiment/command_line.h"
#include "allelix/generator.h"
#include "strict_use.h"

int UseTheCommandLine(int argc, char** argv) {
  const allelix::experiment::Program<allelix::CGeneratorEx<allelix::strict::CUse>> program;
  return allelix::experiment::Main(program, "strict", argc, argv);
}
