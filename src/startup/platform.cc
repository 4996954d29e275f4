#include "platform/platform.h"

#include <cstdlib>

namespace kvt::platform {
namespace {
Platform g_platform;
void (*g_last_words)() = nullptr;
}  // namespace

void Install(const Platform& platform) { g_platform = platform; }

const Platform& Sys() { return g_platform; }

void DoEvents() { g_platform.ui->DoEvents(); }

void DoEventsIfDue() { g_platform.ui->DoEventsIfDue(); }

void AtEnd(void (*last_words)()) { g_last_words = last_words; }

void EndProgram() {
  if (g_last_words != nullptr) g_last_words();
  g_platform.ui->EndProgram();
  std::abort();  // an adapter that returned from EndProgram is broken
}

}  // namespace kvt::platform
