// The processes of an MPI job that a batch's runs are spread over.
#pragma once

#include <memory>

#include "allelix/experiment/ranks.h"

namespace allelix::lab {

using experiment::Ranks;

// The job this process belongs to when it was started by mpirun (and the lab was built with
// MPI), or null for a process on its own. MPI ends when the object is destroyed.
std::unique_ptr<Ranks> JoinRanks(int& argc, char**& argv);

}  // namespace allelix::lab
