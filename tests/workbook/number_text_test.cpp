#include "workbook/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/platform.h"

namespace tabulon {
namespace {

std::string Narrow(const std::u16string& text) { return platform::WideToHost(text); }

struct NumberCase {
  double value;
  const char* text;
};

TEST(FloatToText, GeneralFormatWithFifteenDigits) {
  const NumberCase cases[] = {
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {1e15, "1E15"},
      {999999999999999.0, "999999999999999"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {-0.00001, "-1E-5"},
      {42, "42"},
      {100, "100"},
      {2.5, "2.5"},
      {-2.5, "-2.5"},
      {0.00012, "0.00012"},
      {0.0001, "0.0001"},
      {45000.5, "45000.5"},
      {1234567890123456789.0, "1.23456789012346E18"},
      {0.1 + 0.2, "0.3"},
      {1e-300, "1E-300"},
      {5e-324, "4.94065645841247E-324"},
      {1.7976931348623157e308, "1.79769313486232E308"},
      {0.0, "0"},
      {-0.0, "0"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NAN"},
  };
  for (const NumberCase& c : cases) EXPECT_EQ(Narrow(FloatToText(c.value, u'.')), c.text) << c.text;
}

// The 16th digit is taken from the exact expansion cut to 18 digits and
// rounded half up; printf("%.15g") rounds the exact value half to even and
// gives the other answer for each of these.
TEST(FloatToText, RoundsOnTheSixteenthOfEighteenDigits) {
  const NumberCase cases[] = {
      {0.9658578561835095, "0.96585785618351"},     // exact ...5094999..: 18 digits end in 500
      {559.3863275467005, "559.386327546701"},
      {0.002375988407819525, "0.00237598840781953"},
      {85962996423434.25, "85962996423434.3"},      // an exact tie rounds up
      {0.99999999999999956, "1"},                   // the carry runs through every digit
      {999999999999999.9, "1E15"},                  // ... and moves to scientific notation
      {std::nextafter(0.0001, 0.0), "0.0001"},      // ... or back to fixed notation
      {0.6710501902603625, "0.671050190260363"},
      {0.9999999999999994, "0.999999999999999"},    // 16th digit 4: cut
  };
  for (const NumberCase& c : cases) EXPECT_EQ(Narrow(FloatToText(c.value, u'.')), c.text) << c.text;
}

TEST(FloatToText, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(Narrow(FloatToText(2.5, u',')), "2,5");
  EXPECT_EQ(Narrow(FloatToText(-1.5e-7, u',')), "-1,5E-7");
  EXPECT_EQ(Narrow(FloatToText(1e20, u',')), "1E20");
  // Without a separator argument, the locale's symbol.
  EXPECT_EQ(FloatToText(0.5), std::u16string(u"0") + platform::DecimalSymbol() + u"5");
}

}  // namespace
}  // namespace tabulon
