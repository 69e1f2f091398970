// The individual of a user's programs: 16 bits towards all ones. Every hook it overrides has
// exactly the library's signature, so a change to one of them (an added qualifier, another
// parameter type) breaks the build.
#pragma once

#include "allelix/chromosome.h"

class COnes final : public allelix::CIndividual<COnes, allelix::CBit> {
 public:
  COnes* Clone() override { return CIndividual::Clone(); }
  bool IsEqual(COnes* other) override { return CIndividual::IsEqual(other); }
  double Fitness(int /*fitnessContext*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};
