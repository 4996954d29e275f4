// SevenDigitText against the C library's "%.7g" (glibc rounds from the exact binary value, halves
// to even), over the clock's range, exact halves, both notations and the ends of the float range.
#include "net/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace kvt {
namespace {

std::string Printf7g(float value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(value));
  return buf;
}

TEST(SevenDigitTextTest, MatchesPrintfOnChosenValues) {
  const float table[] = {0.0f,
                         -0.0f,
                         1.0f,
                         0.5f,
                         45296.17f,
                         45297.5f,
                         86399.999f,
                         86400.0f,  // the clock's range
                         0.001f,
                         0.0001f,
                         0.00001f,
                         0.000123456789f,  // fixed down to 1e-4, exponent below
                         10000.125f,
                         10000.375f,
                         1234567.5f,
                         1234568.5f,
                         9999999.5f,
                         9999998.5f,  // exact halves
                         9999999.0f,
                         10000000.0f,
                         12345678.0f,
                         1e10f,
                         -3.25f,
                         -86400.0f,
                         std::numeric_limits<float>::max(),
                         std::numeric_limits<float>::min(),
                         std::numeric_limits<float>::denorm_min(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
  for (float v : table) EXPECT_EQ(Mupdate::SevenDigitText(v), Printf7g(v)) << Printf7g(v);
}

TEST(SevenDigitTextTest, MatchesPrintfAcrossTheRange) {
  // Every 99991st bit pattern of the positive floats (all exponents, subnormals included), and
  // every millisecond step of the first and last minutes of a day as the clock gives them.
  for (std::uint32_t bits = 1; bits < 0x7F800000; bits += 99991) {
    const float v = std::bit_cast<float>(bits);
    ASSERT_EQ(Mupdate::SevenDigitText(v), Printf7g(v)) << bits;
  }
  for (int ms = 0; ms < 60000; ++ms) {
    for (double base : {0.0, 86340.0}) {
      const float v = static_cast<float>(base + ms / 1000.0);
      ASSERT_EQ(Mupdate::SevenDigitText(v), Printf7g(v)) << ms;
    }
  }
}

}  // namespace
}  // namespace kvt
