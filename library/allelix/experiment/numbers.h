// Numbers as experiments print and read them: exact, independent of the locale, and strict.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace allelix::experiment {

// The shortest decimal that reads back as the same double.
inline std::string Shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A fixed-point decimal with the given number of digits after the point (the shortest form when
// the value is too long for that).
inline std::string Fixed(double value, int digits) {
  char buffer[512];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
  if (result.ec != std::errc()) return Shortest(value);
  return std::string(buffer, result.ptr);
}

// The message for a value outside [low, high].
inline std::string OutOfRange(std::string_view text, std::string_view low, std::string_view high) {
  return "'" + std::string(text) + "' is out of range (" + std::string(low) + " to " +
         std::string(high) + ")";
}

// Each reader returns the value of the whole text, or an empty optional with *error set to a
// short reason that quotes the text.

// A decimal or scientific number, rounded once to the nearest double, within [low, high].
inline std::optional<double> ReadDouble(std::string_view text, double low, double high,
                                        std::string* error) {
  double value = 0.0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool whole = end == text.data() + text.size();
  if ((code != std::errc() && code != std::errc::result_out_of_range) || !whole ||
      std::isnan(value)) {
    *error = "'" + std::string(text) + "' is not a number";
    return std::nullopt;
  }
  if (code == std::errc::result_out_of_range) {
    *error = "'" + std::string(text) + "' is too large or too small for a double";
    return std::nullopt;
  }
  if (!(value >= low && value <= high)) {
    *error = OutOfRange(text, Shortest(low), Shortest(high));
    return std::nullopt;
  }
  return value;
}

// A whole decimal number, optionally negative, within [low, high].
inline std::optional<std::int64_t> ReadInteger(std::string_view text, std::int64_t low,
                                               std::int64_t high, std::string* error) {
  std::int64_t value = 0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool whole = end == text.data() + text.size();
  if ((code != std::errc() && code != std::errc::result_out_of_range) || !whole) {
    *error = "'" + std::string(text) + "' is not a whole number";
    return std::nullopt;
  }
  if (code == std::errc::result_out_of_range || value < low || value > high) {
    *error = OutOfRange(text, std::to_string(low), std::to_string(high));
    return std::nullopt;
  }
  return value;
}

// A seed: a whole number from 0 to 4294967295.
inline std::optional<std::uint32_t> ReadSeed(std::string_view text, std::string* error) {
  const auto value = ReadInteger(text, 0, 0xFFFFFFFF, error);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

// A file name: not empty, and not "-", which stands for standard output elsewhere.
inline std::optional<std::string> ReadPath(std::string_view text, std::string* error) {
  if (text.empty() || text == "-") {
    *error = "needs a file name";
    return std::nullopt;
  }
  return std::string(text);
}

}  // namespace allelix::experiment
