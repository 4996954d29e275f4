#include "net/float_text.h"

#include <bit>
#include <cstdint>

namespace kvt::Mupdate {
namespace {

// An unsigned integer of up to 256 bits, enough for a float's 24-bit significand times 10^51
// (the smallest float, 1.4e-45, brought to seven digits) or times 2^104 (the largest float).
class Wide {
 public:
  explicit Wide(std::uint32_t value) { limbs_[0] = value; }

  void Multiply(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs_) {
      carry += std::uint64_t{limb} * factor;
      limb = static_cast<std::uint32_t>(carry);
      carry >>= 32;
    }
  }

  // Divides in place and returns the remainder.
  std::uint32_t Divide(std::uint32_t divisor) {
    std::uint64_t rest = 0;
    for (int i = kLimbs - 1; i >= 0; --i) {
      rest = rest << 32 | limbs_[i];
      limbs_[i] = static_cast<std::uint32_t>(rest / divisor);
      rest %= divisor;
    }
    return static_cast<std::uint32_t>(rest);
  }

  // The value, when it fits in 64 bits; otherwise more than any seven-digit number.
  std::uint64_t Low() const {
    for (int i = 2; i < kLimbs; ++i) {
      if (limbs_[i] != 0) return UINT64_MAX;
    }
    return std::uint64_t{limbs_[1]} << 32 | limbs_[0];
  }

 private:
  static constexpr int kLimbs = 8;
  std::uint32_t limbs_[kLimbs] = {};
};

// significand * 2^binary * 10^decimal, exactly, as a whole number: rounded (halves to even)
// when `round`, cut off otherwise. Multiplications come before divisions, so each division
// works on the exact value and the rounding sees the exact remainder.
std::uint64_t Scaled(std::uint32_t significand, int binary, int decimal, bool round) {
  Wide n(significand);
  for (int i = 0; i < binary; ++i) n.Multiply(2);
  for (int i = 0; i < decimal; ++i) n.Multiply(10);
  // The remainder of the last division decides the rounding; `inexact` says whether an earlier
  // division left anything, which tips an exact half upwards.
  std::uint32_t remainder = 0;
  std::uint32_t divisor = 2;
  bool inexact = false;
  for (int i = 0; i < -decimal; ++i) {
    inexact = inexact || remainder != 0;
    remainder = n.Divide(divisor = 10);
  }
  for (int i = 0; i < -binary; ++i) {
    inexact = inexact || remainder != 0;
    remainder = n.Divide(divisor = 2);
  }
  std::uint64_t whole = n.Low();
  if (round &&
      (2 * remainder > divisor || (2 * remainder == divisor && (inexact || whole % 2 != 0)))) {
    ++whole;
  }
  return whole;
}

}  // namespace

std::string SevenDigitText(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  std::string text = bits >> 31 ? "-" : "";
  const int field = static_cast<int>(bits >> 23 & 0xFF);
  std::uint32_t significand = bits & 0x7FFFFF;
  if (field == 0xFF) return text + (significand != 0 ? "nan" : "inf");
  if (field == 0 && significand == 0) return text + "0";
  // value = significand * 2^binary, subnormals included.
  int binary = field == 0 ? -149 : field - 150;
  if (field != 0) significand |= 0x800000;

  // The decimal scale that brings the value to seven whole digits: 10^6 <= value * 10^scale
  // < 10^7. It starts from the decimal exponent of the value's highest bit (times log10(2),
  // as 78913 / 2^18, rounded down) and is off by at most one.
  int top_bit = binary;
  for (std::uint32_t rest = significand >> 1; rest != 0; rest >>= 1) ++top_bit;
  int scale = 6 - (top_bit * 78913 >> 18);
  for (;;) {
    const std::uint64_t whole = Scaled(significand, binary, scale, false);
    if (whole >= 10000000) {
      --scale;
    } else if (whole < 1000000) {
      ++scale;
    } else {
      break;
    }
  }
  std::uint64_t digits_value = Scaled(significand, binary, scale, true);
  if (digits_value == 10000000) {  // 9999999.5 and above round up to the next power of ten
    digits_value = 1000000;
    --scale;
  }
  std::string digits = std::to_string(digits_value);
  const int exponent = 6 - scale;

  std::string fraction;
  if (exponent >= -4 && exponent < 7) {
    if (exponent >= 0) {
      text += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
      fraction = digits.substr(static_cast<std::size_t>(exponent) + 1);
    } else {
      text += "0";
      fraction = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
  } else {
    text += digits[0];
    fraction = digits.substr(1);
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  if (exponent < -4 || exponent >= 7) {
    const int magnitude = exponent < 0 ? -exponent : exponent;
    text += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) text += "0";
    text += std::to_string(magnitude);
  }
  return text;
}

}  // namespace kvt::Mupdate
