#pragma once

#include <string>

// Appends `value` exactly as printf's "%f" writes it: fixed notation, six
// decimals, correctly rounded with ties to even, "-" for negative zero,
// "inf" and "nan" spelled as the C library does. Several times faster than
// printf for the tables of a dump.
void AppendFixed6(std::string& text, double value);
