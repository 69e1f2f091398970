// The console demonstration as a function of its streams, so tests can drive it in-process.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "square_root.h"

namespace allelix::demo {

// Prints the banner, evolves the square root, reports the value found and waits for one word.
// End of input at the prompt is not an error. Returns the program's exit status: 0, or 1 when
// the report could not be written (said on err; there is then no prompt to answer).
inline int RunDemonstration(std::istream& in, std::ostream& out, std::ostream& err) {
  out << "\n\n\tAllelix\n";
  out << "\tDeveloped by Quorwin\n\n";
  out << "Problem: What is the square root of 1,522,756\n";
  CMyGenerator generator;
  Run(generator);
  const std::int32_t found = generator.best != nullptr ? Decode(*generator.best) : 0;
  generator.ClearAll();
  out << "Actual mathematical solution of the problem is: 1234\n";
  out << "In this run, Genetic Algorithm has found it as: " << found << "\n\n\n";
  out << "Enter something to exit" << std::endl;
  if (!out) {
    err << "allelix-demo: cannot write to standard output\n";
    return 1;
  }
  std::string word;
  in >> word;
  return 0;
}

}  // namespace allelix::demo
