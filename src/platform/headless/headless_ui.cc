#include "platform/headless/headless.h"

#include <stdexcept>

#include "startup/mupdate.h"

namespace kvt::headless {

int HeadlessUi::MessageBox(const std::string& text, int style, const std::string& title) {
  int answer = platform::kIdOk;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  messages.push_back({text, style, title, answer});
  if (on_message) on_message(messages.back());
  return answer;
}

void HeadlessUi::DoEvents() {
  ++pumps;
  if (on_pump) on_pump();
  if (!Mupdate::FdExists() || script.empty()) return;
  Fd& fd = Mupdate::FdInstance();
  // A real pump delivers everything that is pending; a step whose condition does not hold yet
  // waits, and so do the steps behind it.
  while (!script.empty() && (!script.front().when || script.front().when(fd))) {
    ScriptStep step = std::move(script.front());
    script.pop_front();
    step.action(fd);
  }
}

void HeadlessUi::PumpFor(std::uint32_t milliseconds) {
  pauses.push_back(milliseconds);
  DoEvents();
}

void HeadlessUi::RunEventLoop() {
  while (!script.empty()) {
    Fd& fd = Mupdate::FdInstance();
    ScriptStep step = std::move(script.front());
    script.pop_front();
    if (step.when && !step.when(fd)) {
      throw std::logic_error("script step cannot happen now: " + step.description);
    }
    step.action(fd);
  }
}

void HeadlessUi::EndProgram() {
  ended = true;
  throw ProgramEnded{};
}

bool RunUntilEnd(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProgramEnded&) {
    return true;
  }
  return false;
}

namespace {

// The page a control sits on is shown and no page in front of it covers it.
bool PageShown(Fd& fd, ControlId page) {
  if (!fd.Get(page).Visible()) return false;
  // Front to back: Frame3, FrameW, Frame1, Frame2; all pages have the same place and size.
  for (const layout::Control& c : layout::kControls) {
    if (c.kind != layout::Kind::kFrame) continue;
    if (c.id == page) return true;
    if (fd.Get(c.id).Visible()) return false;
  }
  return false;
}

}  // namespace

bool Reachable(Fd& fd, ControlId id) {
  const layout::Control* design = layout::Find(id);
  if (design == nullptr || design->page == kNoControl) return false;
  const auto* window = dynamic_cast<const HeadlessWindow*>(&fd.backend());
  if (window != nullptr && !window->input_enabled) return false;
  Control& c = fd.Get(id);
  return PageShown(fd, design->page) && c.Visible() && c.Enabled();
}

bool Click(Fd& fd, ControlId id) {
  if (!Reachable(fd, id)) return false;
  switch (id) {
    case kCk:
      fd.Ck.ValueChangedByUser(fd.Ck.Value() == 1 ? 0 : 1);
      fd.Ck_Click();
      return true;
    case kCrun:
      fd.Crun.ValueChangedByUser(fd.Crun.Value() == 1 ? 0 : 1);
      return true;
    case kCcontinue: fd.Ccontinue_Click(); return true;
    case kCfolder: fd.Cfolder_Click(); return true;
    case kCyes: fd.Cyes_Click(); return true;
    case kCno: fd.Cno_Click(); return true;
    case kCend: fd.Cend_Click(); return true;
    default: return false;
  }
}

bool DoubleClick(Fd& fd, ControlId id) {
  if (id != kTpath || !Reachable(fd, id)) return false;
  fd.Tpath_DblClick();
  return true;
}

void Close(Fd& fd) {
  std::int16_t cancel = 0;
  fd.Form_Unload(cancel);
  if (cancel == 0) platform::EndProgram();
}

}  // namespace kvt::headless
