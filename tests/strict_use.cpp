// The library's templates instantiated under the strict warnings of strict_headers (see
// CMakeLists.txt): a warning inside a template shows only once the template is used.
#include "strict_use.h"

#include "allelix/generator.h"
#include "allelix/platform.h"
#include "allelix/run.h"

namespace allelix::strict {

// The function templates of run.h, used once.
StopReason UseTheRunLoop() {
  const ScopedSeedSchedule schedule(1);
  CGeneratorEx<CUse> generator;
  generator.stopFlags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
  static_cast<void>(StopReasonName(Run(generator)));
  generator.Initialize(4, 3);
  return Evolve(generator, [](const CGeneratorEx<CUse>&) {});
}

}  // namespace allelix::strict

template class allelix::CIndividual<allelix::strict::CUse, allelix::CBit>;
template class allelix::CPopulation<allelix::strict::CUse, allelix::CBit>;
template class allelix::CGenerator<allelix::CPopulation<allelix::strict::CUse, allelix::CBit>,
                                   allelix::strict::CUse, allelix::CBit>;
template class allelix::CGeneratorEx<allelix::strict::CUse>;
template class allelix::PickList<allelix::strict::CUse>;
