// Decimal text of a single-precision number without the C library's printf family, whose
// floating-point code (about 20 KB with its conversion tables) would otherwise be linked into
// kvt-setup.exe for this one text.
#pragma once

#include <string>

namespace kvt::Mupdate {

// `value` as printf's "%.7g" writes it: seven significant digits, rounded from the exact binary
// value with halves to the even digit, trailing zeros and a bare point dropped, fixed notation
// for decimal exponents -4 to 6 and "d.dddddde+XX" otherwise; "0", "inf" and "nan" with their
// sign. The point is always ".".
std::string SevenDigitText(float value);

}  // namespace kvt::Mupdate
