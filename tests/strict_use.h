// The individual with which the strict-warning translation units (see CMakeLists.txt) instantiate
// the library's templates.
#pragma once

#include "allelix/chromosome.h"

namespace allelix::strict {

class CUse final : public CIndividual<CUse, CBit> {
 public:
  double Fitness(int fitnessContext) override { return fitnessContext + geneCount; }
};

}  // namespace allelix::strict
