// The text of a number as cell values are answered: the general format with
// 15 significant digits, fixed notation for magnitudes from 0.0001 to below
// 10^15, scientific notation otherwise, no thousands separators.
#pragma once

#include <string>

namespace tabulon {

// Uses the locale's decimal symbol (platform::DecimalSymbol()).
std::u16string FloatToText(double value);
// The same with an explicit decimal separator.
std::u16string FloatToText(double value, char16_t decimalSeparator);

}  // namespace tabulon
