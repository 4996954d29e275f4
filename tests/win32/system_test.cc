// The small adapters: name lookup and clocks.
#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

namespace kvt::win32 {
namespace {

TEST(ResolverTest, EachProbePairsItsOwnStartupAndCleanup) {
  WinsockResolver resolver;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(resolver.Startup(0x0101), 0) << round;
    EXPECT_TRUE(resolver.GetHostByName("localhost")) << round;
    EXPECT_FALSE(resolver.GetHostByName("no-such-host.invalid")) << round;
    EXPECT_EQ(resolver.Cleanup(), 0) << round;
  }
}

TEST(ResolverTest, LookupWithoutAWorkingStartupFails) {
  WinsockResolver resolver;
  EXPECT_FALSE(resolver.GetHostByName("localhost"));  // never started
  EXPECT_NE(resolver.Startup(0x0000), 0);             // no such version
  EXPECT_FALSE(resolver.GetHostByName("localhost"));
  resolver.Cleanup();
}

TEST(ClockTest, ClocksMoveOnAndStayInRange) {
  Win32Clock clock;
  const double start = clock.MonotonicSeconds();
  const double day_start = clock.SecondsSinceMidnight();
  ::Sleep(60);
  const double elapsed = clock.MonotonicSeconds() - start;
  EXPECT_GE(elapsed, 0.05);
  EXPECT_LT(elapsed, 30.0);
  const double day = clock.SecondsSinceMidnight();
  EXPECT_GE(day, 0.0);
  EXPECT_LT(day, 86400.0);
  // Fractions of a second are kept (the manifest's scratch name relies on them changing).
  EXPECT_NE(day, day_start);
  const std::string separator = clock.DecimalSeparator();
  EXPECT_EQ(separator.size(), 1u);
  EXPECT_TRUE(separator == "." || separator == ",") << separator;
}

}  // namespace
}  // namespace kvt::win32
