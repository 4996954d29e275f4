// The local computer's process list, asked the way the management service (WMI) is asked.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

struct ProcessQueryAnswer {
  bool bound = false;        // the management service could be reached
  bool query_ok = false;     // the query was accepted
  std::int64_t delivered = 0;  // objects delivered by the enumeration
  bool enumeration_failed = false;  // the enumeration stopped with an error
};

class ProcessList {
 public:
  virtual ~ProcessList() = default;
  // Runs a query of the form SELECT * FROM Win32_Process WHERE Name='<name>' against the local
  // process list and enumerates the answer. A query text that the query language rejects
  // (for example a name holding an apostrophe) gives query_ok = false.
  virtual ProcessQueryAnswer ExecQuery(const std::string& query_text) = 0;
};

}  // namespace kvt::platform
