// The templates of allelix/mpi.h instantiated under the strict warnings of strict_headers_mpi.
#include "allelix/mpi.h"
#include "strict_use.h"

void UseMpi() { allelix::mpi::ServeFitness<allelix::strict::CUse>(); }

template class allelix::mpi::MpiEvaluator<allelix::strict::CUse>;
