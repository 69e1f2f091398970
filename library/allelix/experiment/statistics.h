// Quantiles and the five-number spread of a sample.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "allelix/platform.h"

namespace allelix::experiment {

// The quantile p (0 to 1) of sorted values, interpolated linearly between neighbouring order
// statistics. The product goes through RoundedProduct, so every build prints the same digits.
// Precondition: sorted is not empty.
inline double Quantile(const std::vector<double>& sorted, double p) {
  const double position = p * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(position);
  if (below + 1 >= sorted.size()) return sorted.back();
  const double fraction = position - static_cast<double>(below);
  return sorted[below] + RoundedProduct(fraction, sorted[below + 1] - sorted[below]);
}

// The five-number spread of a sample: quartiles interpolated linearly between order statistics.
struct Spread {
  double min = 0.0;
  double lowerQuartile = 0.0;
  double median = 0.0;
  double upperQuartile = 0.0;
  double max = 0.0;
};

// The spread of a sample; throws std::invalid_argument when it is empty. NaN values sort last.
inline Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) throw std::invalid_argument("the spread of an empty sample");
  // A NaN would break the ordering std::sort needs; putting NaNs last keeps it strict.
  const auto nanLast = [](double a, double b) {
    return a < b || (!std::isnan(a) && std::isnan(b));
  };
  std::sort(values.begin(), values.end(), nanLast);
  return {values.front(), Quantile(values, 0.25), Quantile(values, 0.5), Quantile(values, 0.75),
          values.back()};
}

}  // namespace allelix::experiment
