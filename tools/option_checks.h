#pragma once

// Checks of the companion programs' numeric options.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <string>

namespace tools {

// A finite number from `low` to `high`. CLI::Range lets NaN through, as
// every comparison with it is false; here it is refused like any other
// number out of range.
inline CLI::Validator FiniteRange(double low, double high) {
    const std::string range =
        "a finite number from " + CLI::detail::to_string(low) + " to " + CLI::detail::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool whole = end != text.c_str() && *end == '\0';
            if (whole && std::isfinite(value) && value >= low && value <= high) return {};
            return "Value " + text + " is not " + range;
        },
        "FINITE in [" + CLI::detail::to_string(low) + " - " + CLI::detail::to_string(high) + "]");
}

}  // namespace tools
