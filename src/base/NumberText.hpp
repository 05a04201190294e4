// The one conversion of numbers to text that messages and the text writers share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morv {

// %.12g form (12 significant digits, trailing zeros and point dropped, exponent
// form for very large and small magnitudes) with "~" for every minus sign;
// zero is "0.0", not-a-number "nan", the infinities "inf" and "~inf".
std::string realToText(double value);

// Appends realToText(value) to out without a temporary string.
void appendReal(std::string& out, double value);

// bytes with every byte outside printable ASCII written as \xHH, for
// identifiers read from files that go into messages.
std::string printableBytes(std::string_view bytes);
// Writes realToText(value), with minus in place of "~", into out (room for
// maxRealText characters) and returns the end: for writers that format
// straight into their own buffers.
inline constexpr std::size_t maxRealText = 32;
char* formatReal(double value, char* out, char minus = '~');

// Decimal integer with "~" as the minus sign.
std::string intToText(std::int64_t value);
void appendInt(std::string& out, std::int64_t value);

}  // namespace morv
