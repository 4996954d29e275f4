#include <algorithm>
#include <cctype>

#include "platform/headless/headless.h"

namespace kvt::headless {

platform::PickResult HeadlessShell::BrowseForFolder(const std::string& title, int options,
                                                    int root, std::string& path) {
  picker_calls.push_back({title, options, root});
  if (picks.empty()) return platform::PickResult::kCancelled;
  Pick pick = std::move(picks.front());
  picks.pop_front();
  if (pick.while_open) pick.while_open();
  if (pick.result == platform::PickResult::kChosen) path = pick.path;
  return pick.result;
}

bool HeadlessShell::DesktopFolder(std::string& path) {
  if (!desktop) return false;
  path = *desktop;
  return true;
}

bool HeadlessShell::SaveShortcut(const std::string& link_path, const std::string& target) {
  if (save_fails) return false;
  shortcuts[link_path] = target;
  return true;
}

namespace {
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}
}  // namespace

platform::ProcessQueryAnswer HeadlessProcessList::ExecQuery(const std::string& query_text) {
  queries.push_back(query_text);
  platform::ProcessQueryAnswer answer;
  if (bind_fails) return answer;
  answer.bound = true;
  const std::string head = "SELECT * FROM Win32_Process WHERE Name='";
  if (query_text.rfind(head, 0) != 0 || query_text.size() < head.size() + 1 ||
      query_text.back() != '\'') {
    return answer;
  }
  const std::string name = query_text.substr(head.size(), query_text.size() - head.size() - 1);
  if (name.find('\'') != std::string::npos) return answer;  // the quoted value ends early
  answer.query_ok = true;
  for (const std::string& n : names) {
    if (fail_after && answer.delivered >= *fail_after) {
      answer.enumeration_failed = true;
      break;
    }
    if (Lower(n) == Lower(name)) ++answer.delivered;
  }
  return answer;
}

int HeadlessResolver::Startup(std::uint16_t) {
  ++startups;
  return 0;
}
bool HeadlessResolver::GetHostByName(const std::string& name) {
  ++lookups;
  return std::find(resolvable.begin(), resolvable.end(), name) != resolvable.end();
}
int HeadlessResolver::Cleanup() {
  ++cleanups;
  return 0;
}

platform::LocalTime MemoryLogStore::Now() {
  platform::LocalTime t = now;
  if (++now.millisecond == 1000) {
    now.millisecond = 0;
    ++now.second;
  }
  return t;
}

bool MemoryLogStore::Replace(const std::string& from, const std::string& to) {
  const auto it = files.find(from);
  if (refuse || it == files.end()) return false;
  files[to] = it->second;
  files.erase(from);
  return true;
}

bool MemoryLogStore::Write(const std::string& path, const std::string& bytes) {
  if (refuse) return false;
  files[path] = bytes;
  return true;
}

bool MemoryLogStore::Append(const std::string& path, const std::string& bytes) {
  if (refuse) return false;
  files[path] += bytes;
  return true;
}

platform::Platform Machine::Platform(platform::Internet* internet, platform::FileSystem* files,
                                     platform::Processes* processes) {
  platform::Platform p;
  p.ui = &ui;
  p.window = &window;
  p.internet = internet;
  p.resolver = &resolver;
  p.files = files;
  p.clock = &clock;
  p.processes = processes;
  p.process_list = &process_list;
  p.shell = &shell;
  return p;
}

}  // namespace kvt::headless
