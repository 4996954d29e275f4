#include "system/process_check.h"

#include "platform/platform.h"
#include "startup/pending_error.h"

namespace kvt::Mupdate {

std::int16_t IsProcessRunning(const std::string& name) {
  PendingError::Clear();
  // The name goes into the query unchanged; a name that breaks the query is simply not found.
  const platform::ProcessQueryAnswer answer = platform::Sys().process_list->ExecQuery(
      "SELECT * FROM Win32_Process WHERE Name='" + name + "'");
  if (!answer.bound || !answer.query_ok) return 0;
  return answer.delivered > 0 ? -1 : 0;
}

}  // namespace kvt::Mupdate
