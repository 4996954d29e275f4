// The connectivity probe: one start-up, one lookup of the probe host, one clean-up per call.
#include "net/netcheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvt/build_config.h"
#include "platform/headless/headless.h"
#include "support/posix_machine.h"

namespace kvt {
namespace {

// Records the socket-layer calls; answers from a set of names.
class RecordingResolver : public platform::Resolver {
 public:
  std::vector<std::string> resolvable;
  int startup_result = 0;
  std::vector<std::string> calls;

  int Startup(std::uint16_t version) override {
    calls.push_back("Startup " + std::to_string(version));
    return startup_result;
  }
  bool GetHostByName(const std::string& name) override {
    calls.push_back("GetHostByName " + name);
    for (const std::string& n : resolvable) {
      if (n == name) return true;
    }
    return false;
  }
  int Cleanup() override {
    calls.push_back("Cleanup");
    return 0;
  }
};

class NetcheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Platform p = machine_.Platform(nullptr, nullptr, nullptr);
    p.resolver = &resolver_;
    platform::Install(p);
  }
  void TearDown() override { platform::Install(platform::Platform{}); }

  std::vector<std::string> OneCall() const {
    return {"Startup 257", std::string("GetHostByName ") + build::kProbeHost, "Cleanup"};
  }

  headless::Machine machine_;
  RecordingResolver resolver_;
};

TEST_F(NetcheckTest, ResolvableProbeHostGivesMinusOne) {
  resolver_.resolvable = {build::kProbeHost};
  EXPECT_EQ(Mnetcheck::CanResolveHost(), -1);
  EXPECT_EQ(resolver_.calls, OneCall());
}

TEST_F(NetcheckTest, UnresolvableProbeHostGivesZeroAndStillCleansUp) {
  EXPECT_EQ(Mnetcheck::CanResolveHost(), 0);
  EXPECT_EQ(resolver_.calls, OneCall());
}

TEST_F(NetcheckTest, AFailedStartUpIsNotExaminedTheLookupDecides) {
  resolver_.startup_result = 10091;  // WSASYSNOTREADY
  resolver_.resolvable = {build::kProbeHost};
  EXPECT_EQ(Mnetcheck::CanResolveHost(), -1);
  EXPECT_EQ(resolver_.calls, OneCall());
}

TEST_F(NetcheckTest, TwoCallsInARowAreIndependent) {
  const std::vector<std::vector<std::string>> answers = {
      {}, {build::kProbeHost}, {build::kProbeHost}, {}, {}};
  const std::vector<int> expected = {0, -1, -1, 0, 0};
  for (std::size_t i = 0; i < answers.size(); ++i) {
    resolver_.resolvable = answers[i];
    EXPECT_EQ(Mnetcheck::CanResolveHost(), expected[i]) << "call " << i;
  }
  // Every call paired its own start-up with its own clean-up.
  std::vector<std::string> calls;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    for (const std::string& c : OneCall()) calls.push_back(c);
  }
  EXPECT_EQ(resolver_.calls, calls);
}

TEST(NetcheckHeadlessTest, HeadlessResolverAnswersLocalhostOnly) {
  if (std::string(build::kProbeHost) != "localhost") GTEST_SKIP() << "probe host is not local";
  headless::Machine machine;
  platform::Install(machine.Platform(nullptr, nullptr, nullptr));
  EXPECT_EQ(Mnetcheck::CanResolveHost(), -1);
  machine.resolver.resolvable.clear();
  EXPECT_EQ(Mnetcheck::CanResolveHost(), 0);
  EXPECT_EQ(machine.resolver.startups, 2);
  EXPECT_EQ(machine.resolver.cleanups, 2);
  EXPECT_EQ(machine.resolver.lookups, 2);
  platform::Install(platform::Platform{});
}

TEST(NetcheckPosixTest, RealResolverFindsLocalhost) {
  if (std::string(build::kProbeHost) != "localhost") GTEST_SKIP() << "probe host is not local";
  testing::PosixMachineOptions options;
  options.real_resolver = true;
  testing::PosixMachine m(80, options);
  EXPECT_EQ(Mnetcheck::CanResolveHost(), -1);
  EXPECT_EQ(Mnetcheck::CanResolveHost(), -1);
  EXPECT_EQ(m.resolver.startups(), 2);
  EXPECT_EQ(m.resolver.cleanups(), 2);
}

}  // namespace
}  // namespace kvt
