// Number formatting shared by the lab's trace, summary and chart.
#pragma once

#include <charconv>
#include <string>
#include <system_error>

namespace allelix::lab {

// The shortest decimal that reads back as the same double.
inline std::string Shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A fixed-point decimal with the given number of digits after the point.
inline std::string Fixed(double value, int digits) {
  char buffer[512];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
  if (result.ec != std::errc()) return Shortest(value);
  return std::string(buffer, result.ptr);
}

}  // namespace allelix::lab
