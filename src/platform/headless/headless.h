// The headless machine: the window kept in memory, a scripted user and scripted answers to
// message boxes, recorded for assertions. Used by the tests and the benchmark.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "window/fd.h"

namespace kvt::headless {

// Thrown by EndProgram; unwinds to the harness. Not derived from std::exception so that no
// handler of ordinary errors can swallow it.
struct ProgramEnded {};

struct MessageRecord {
  std::string text;
  int style;
  std::string title;
  int answer;
};

// A scripted user action, delivered by DoEvents once its condition holds.
struct ScriptStep {
  std::string description;
  std::function<bool(Fd&)> when;  // null: deliver at the next DoEvents
  std::function<void(Fd&)> action;
};

class HeadlessUi : public platform::Ui {
 public:
  bool another_instance = false;

  // Answers given to the next message boxes, in order; kIdOk once the queue is empty.
  std::deque<int> answers;
  std::vector<MessageRecord> messages;
  // Called while a message box is open (after it is recorded, before it returns).
  std::function<void(const MessageRecord&)> on_message;

  std::deque<ScriptStep> script;
  // Called at every DoEvents, before the script (counts pumps, measures gaps).
  std::function<void()> on_pump;
  long pumps = 0;
  bool ended = false;

  bool AnotherInstanceRunning() override { return another_instance; }
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  void DoEvents() override;
  // Records the pause and processes the events once; no time passes.
  void PumpFor(std::uint32_t milliseconds) override;
  std::vector<std::uint32_t> pauses;
  // Delivers the remaining script steps in order; each must be deliverable.
  void RunEventLoop() override;
  [[noreturn]] void EndProgram() override;
};

// Every change the window would show, in order ("Lb.Caption=正在连接KVT服务器...").
class HeadlessWindow : public platform::WindowBackend {
 public:
  bool created = false;
  bool shown = false;
  int outer_width = 0;
  int outer_height = 0;
  std::vector<std::string> log;
  std::map<ControlId, int> refreshes;
  bool record = true;
  // False while the window takes no input (the folder picker is open).
  bool input_enabled = true;
  // The reason registered for a refused log-off; empty when none is.
  std::string shutdown_reason;

  void Create(Fd& fd) override;
  void Show() override;
  void SetOuterSize(int width_twips, int height_twips) override;
  void Move(ControlId id, double left_twips, double top_twips) override;
  void SetWidth(ControlId id, double width_twips) override;
  void SetText(ControlId id, const std::string& text) override;
  void SetVisible(ControlId id, bool visible) override;
  void SetEnabled(ControlId id, bool enabled) override;
  void SetValue(ControlId id, int value) override;
  void Refresh(ControlId id) override;
  void SetInputEnabled(bool enabled) override;
  void SetShutdownReason(const std::string& reason) override;

 private:
  void Note(ControlId id, const std::string& what);
};

// The folder picker answers from a script; shortcuts are recorded instead of written.
class HeadlessShell : public platform::Shell {
 public:
  struct Pick {
    platform::PickResult result;
    std::string path;
    // Runs while the picker is "open", before it returns (nested user actions).
    std::function<void()> while_open;
  };
  std::deque<Pick> picks;
  struct PickerCall {
    std::string title;
    int options;
    int root;
  };
  std::vector<PickerCall> picker_calls;

  std::optional<std::string> desktop = std::string("C:\\Users\\kvt\\Desktop");
  bool save_fails = false;
  std::map<std::string, std::string> shortcuts;  // link path -> target

  platform::PickResult BrowseForFolder(const std::string& title, int options, int root,
                                       std::string& path) override;
  bool DesktopFolder(std::string& path) override;
  bool SaveShortcut(const std::string& link_path, const std::string& target) override;
};

// A process list made of names.
class HeadlessProcessList : public platform::ProcessList {
 public:
  std::vector<std::string> names;
  bool bind_fails = false;
  std::optional<std::int64_t> fail_after;  // the enumeration fails after this many objects
  std::vector<std::string> queries;

  platform::ProcessQueryAnswer ExecQuery(const std::string& query_text) override;
};

// Name lookups answered from a set of names.
class HeadlessResolver : public platform::Resolver {
 public:
  std::vector<std::string> resolvable{"localhost"};
  int startups = 0, cleanups = 0, lookups = 0;
  int Startup(std::uint16_t version) override;
  bool GetHostByName(const std::string& name) override;
  int Cleanup() override;
};

// A clock moved by hand.
class HeadlessClock : public platform::Clock {
 public:
  double now = 1000.0;
  double time_of_day = 45296.17;
  // Added to `time_of_day` at every reading.
  double time_of_day_step = 0.0;
  std::string decimal_separator = ".";
  // Added to `now` at every reading.
  double step = 0.0;
  double MonotonicSeconds() override {
    now += step;
    return now;
  }
  double SecondsSinceMidnight() override {
    time_of_day += time_of_day_step;
    return time_of_day;
  }
  std::string DecimalSeparator() override { return decimal_separator; }
};

// The support log's files in memory, with a clock that moves 1 ms at every reading.
class MemoryLogStore : public platform::LogStore {
 public:
  std::map<std::string, std::string> files;
  // A store that refuses every write, as a full or locked temporary folder would.
  bool refuse = false;
  platform::LocalTime now{2026, 12, 9, 5, 45, 0, 0};
  std::string Folder() override { return "C:\\Temp\\"; }
  std::string SystemDescription() override { return "Windows 6.1.7601 x64"; }
  platform::LocalTime Now() override;
  bool Replace(const std::string& from, const std::string& to) override;
  bool Write(const std::string& path, const std::string& bytes) override;
  bool Append(const std::string& path, const std::string& bytes) override;
};

// Convenience: the headless window, user, shell, process list, resolver and clock, installed
// with the given adapters for what they do not cover.
struct Machine {
  HeadlessUi ui;
  HeadlessWindow window;
  HeadlessShell shell;
  HeadlessProcessList process_list;
  HeadlessResolver resolver;
  HeadlessClock clock;

  platform::Platform Platform(platform::Internet* internet, platform::FileSystem* files,
                              platform::Processes* processes);
};

// Runs `body`; returns true when it ended the program (ProgramEnded), false when it returned.
bool RunUntilEnd(const std::function<void()>& body);

// User actions as the window would deliver them: only a visible, enabled control on a page that
// is shown and not covered, in a window that takes input, can be clicked. Returns false (and
// does nothing) otherwise. (Calling a handler directly stands for a message another program
// sends, which no input block stops.)
bool Click(Fd& fd, ControlId id);
bool DoubleClick(Fd& fd, ControlId id);
// The close box: runs Form_Unload and ends the program unless it was cancelled.
void Close(Fd& fd);
// True when the user can reach the control (visible on a shown, uncovered page, enabled, and
// the window takes input).
bool Reachable(Fd& fd, ControlId id);

}  // namespace kvt::headless
