// allelix-demo: evolves the square root of 1,522,756 and reports what it found.
#include <iostream>

#include "demonstration.h"

int main() { return allelix::demo::RunDemonstration(std::cin, std::cout, std::cerr); }
