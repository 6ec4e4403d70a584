#pragma once
// Text form of the record's numbers in the edit boxes.

#include <QString>
#include <cstdint>

namespace quorl {

// Shortest text that reads back to the same double (std::to_chars), so every finite value, -0 included,
// survives showing and reading back bit for bit. Infinities show as "inf"/"-inf", NaN as "nan".
QString formatDouble(double value);

// Reads a whole box: optional surrounding spaces, an optional sign, then a decimal or exponent number,
// "inf" or "nan". Returns false (leaving `out` as it was) for anything else, including out-of-range
// numbers such as 1e999.
bool parseDouble(const QString& text, double& out);

// Reads a whole box as a decimal 32-bit integer with optional surrounding spaces and sign.
bool parseInt32(const QString& text, int32_t& out);

}  // namespace quorl
