#include "workbook/number_text.h"

#include <charconv>
#include <cmath>

#include "platform/platform.h"

namespace tabulon {

std::u16string FloatToText(double value) {
  return FloatToText(value, platform::DecimalSymbol());
}

std::u16string FloatToText(double value, char16_t decimalSeparator) {
  if (std::isnan(value)) return u"NAN";
  if (std::isinf(value)) return value < 0 ? u"-INF" : u"INF";
  if (value == 0) return u"0";

  // 18 significant digits of the exact decimal expansion: "d.ddddddddddddddddde[+-]x".
  char buffer[48];
  const auto conversion = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                        std::chars_format::scientific, 17);
  const char* end = conversion.ptr;
  char digits[18];
  digits[0] = buffer[0];
  for (int i = 1; i < 18; ++i) digits[i] = buffer[i + 1];
  const char* p = buffer + 20;  // after the 'e'
  const bool negativeExponent = *p == '-';
  ++p;
  int exponent = 0;
  for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negativeExponent) exponent = -exponent;
  // The value is 0.d1d2... times ten to the power e.
  int e = exponent + 1;

  // Cut to 15 digits, rounding half up on the 16th.
  int count = 15;
  if (digits[15] >= '5') {
    int i = 14;
    while (i >= 0 && digits[i] == '9') {
      digits[i] = '0';
      --i;
    }
    if (i < 0) {
      digits[0] = '1';
      count = 1;
      ++e;
    } else {
      ++digits[i];
    }
  }
  while (count > 1 && digits[count - 1] == '0') --count;

  std::u16string text;
  text.reserve(24);
  if (value < 0) text.push_back(u'-');
  if (e <= 15 && e >= -3) {
    if (e <= 0) {
      text.push_back(u'0');
      text.push_back(decimalSeparator);
      text.append(static_cast<std::size_t>(-e), u'0');
      for (int i = 0; i < count; ++i) text.push_back(static_cast<char16_t>(digits[i]));
    } else {
      for (int i = 0; i < e; ++i) text.push_back(i < count ? static_cast<char16_t>(digits[i]) : u'0');
      if (count > e) {
        text.push_back(decimalSeparator);
        for (int i = e; i < count; ++i) text.push_back(static_cast<char16_t>(digits[i]));
      }
    }
  } else {
    text.push_back(static_cast<char16_t>(digits[0]));
    if (count > 1) {
      text.push_back(decimalSeparator);
      for (int i = 1; i < count; ++i) text.push_back(static_cast<char16_t>(digits[i]));
    }
    text.push_back(u'E');
    int shown = e - 1;
    if (shown < 0) {
      text.push_back(u'-');
      shown = -shown;
    }
    char exponentText[8];
    const auto written = std::to_chars(exponentText, exponentText + sizeof exponentText, shown);
    for (const char* q = exponentText; q < written.ptr; ++q) text.push_back(static_cast<char16_t>(*q));
  }
  return text;
}

}  // namespace tabulon
