// Clocks.
#pragma once

#include <string>

namespace kvt::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds from an arbitrary fixed point; never goes back, does not wrap at midnight.
  virtual double MonotonicSeconds() = 0;
  // Local time of day in seconds since midnight, with its fraction.
  virtual double SecondsSinceMidnight() = 0;
  // Decimal separator of the user's regional settings ("." or ",").
  virtual std::string DecimalSeparator() = 0;
};

}  // namespace kvt::platform
