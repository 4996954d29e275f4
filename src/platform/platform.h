// The machine as the portable core sees it: one set of adapters for the whole run.
#pragma once

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/internet.h"
#include "platform/log_store.h"
#include "platform/process_list.h"
#include "platform/processes.h"
#include "platform/resolver.h"
#include "platform/shell.h"
#include "platform/ui.h"
#include "platform/window_backend.h"

namespace kvt::platform {

struct Platform {
  Ui* ui = nullptr;
  WindowBackend* window = nullptr;
  Internet* internet = nullptr;
  Resolver* resolver = nullptr;
  FileSystem* files = nullptr;
  Clock* clock = nullptr;
  Processes* processes = nullptr;
  ProcessList* process_list = nullptr;
  Shell* shell = nullptr;
  Crypto* crypto = nullptr;
  // Where the support log goes; none: the run keeps no log.
  LogStore* log = nullptr;
};

// Installs the adapters; the program's entry point and every test harness call this first.
void Install(const Platform& platform);
// The installed adapters.
const Platform& Sys();

// Processes the pending window events once.
void DoEvents();
// The same in a busy loop: see Ui::DoEventsIfDue.
void DoEventsIfDue();
// Ends the program at once (see Ui::EndProgram), after the last words given to AtEnd.
[[noreturn]] void EndProgram();
// `last_words` runs when the program ends through EndProgram (the support log writes its end);
// null: nothing runs.
void AtEnd(void (*last_words)());

}  // namespace kvt::platform
