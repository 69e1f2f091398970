// The templates of allelix/mpi.h instantiated under the strict warnings of strict_headers_mpi.
#include "allelix/mpi.h"

namespace allelix::strict {

class CUseMpi final : public CIndividual<CUseMpi, CBit> {
 public:
  double Fitness(int fitnessContext) override { return fitnessContext + geneCount; }
};

void UseMpi() { mpi::ServeFitness<CUseMpi>(); }

}  // namespace allelix::strict

template class allelix::mpi::MpiEvaluator<allelix::strict::CUseMpi>;
