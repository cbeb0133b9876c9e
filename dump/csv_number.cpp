#include "dump/csv_number.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

void AppendWithPrintf(std::string& text, double value) {
    char buffer[400];
    const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
    text.append(buffer, static_cast<size_t>(length));
}

}  // namespace

void AppendFixed6(std::string& text, double value) {
#if defined(__SIZEOF_INT128__)
    // |value| below 2^43 keeps value x 10^6 below 2^63.
    if (!std::isfinite(value) || std::fabs(value) >= 8796093022208.0) {
        AppendWithPrintf(text, value);
        return;
    }
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const uint64_t exponent_bits = (bits >> 52) & 0x7FF;
    const uint64_t mantissa =
        exponent_bits == 0 ? (bits & 0xFFFFFFFFFFFFFull) : ((bits & 0xFFFFFFFFFFFFFull) | (1ull << 52));
    const int exponent =
        (exponent_bits == 0 ? 1 : static_cast<int>(exponent_bits)) - 1075;  // value = mantissa x 2^exponent

    // millionths = mantissa x 10^6 x 2^exponent, rounded to the nearest integer, ties to even.
    const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000000u;
    uint64_t millionths;
    if (exponent >= 0) {
        millionths = static_cast<uint64_t>(scaled << exponent);  // exact: the value is below 2^43
    } else if (-exponent >= 127) {
        millionths = 0;  // below half a millionth, and never exactly half
    } else {
        const int shift = -exponent;
        const unsigned __int128 whole = scaled >> shift;
        const unsigned __int128 remainder = scaled - (whole << shift);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        millionths = static_cast<uint64_t>(whole);
        if (remainder > half || (remainder == half && (millionths & 1) != 0)) ++millionths;
    }

    char buffer[40];
    char* end = buffer;
    if (negative) *end++ = '-';
    end = std::to_chars(end, buffer + sizeof buffer, millionths / 1000000).ptr;
    *end++ = '.';
    uint64_t fraction = millionths % 1000000;
    for (int digit = 5; digit >= 0; --digit) {
        end[digit] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    text.append(buffer, end + 6);
#else
    AppendWithPrintf(text, value);
#endif
}
