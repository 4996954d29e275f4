#include "startup/pending_error.h"

namespace kvt::PendingError {
namespace {
bool g_pending = false;
std::string g_what;
}  // namespace

void Clear() {
  g_pending = false;
  g_what.clear();
}

void Raise(const std::string& what) {
  g_pending = true;
  g_what = what;
}

bool IsPending() { return g_pending; }

const std::string& What() { return g_what; }

}  // namespace kvt::PendingError
