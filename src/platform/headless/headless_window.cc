#include <cstdio>

#include "platform/headless/headless.h"

namespace kvt::headless {
namespace {
std::string NameOf(ControlId id) {
  const layout::Control* c = layout::Find(id);
  return c ? std::string(c->name) : std::to_string(static_cast<int>(id));
}
std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}
}  // namespace

void HeadlessWindow::Note(ControlId id, const std::string& what) {
  if (record) log.push_back(NameOf(id) + "." + what);
}

void HeadlessWindow::Create(Fd&) { created = true; }
void HeadlessWindow::Show() { shown = true; }
void HeadlessWindow::SetOuterSize(int w, int h) {
  outer_width = w;
  outer_height = h;
}
void HeadlessWindow::Move(ControlId id, double l, double t) {
  Note(id, "Move=" + Number(l) + "," + Number(t));
}
void HeadlessWindow::SetWidth(ControlId id, double w) { Note(id, "Width=" + Number(w)); }
void HeadlessWindow::SetText(ControlId id, const std::string& t) { Note(id, "Caption=" + t); }
void HeadlessWindow::SetVisible(ControlId id, bool v) {
  Note(id, std::string("Visible=") + (v ? "1" : "0"));
}
void HeadlessWindow::SetEnabled(ControlId id, bool e) {
  Note(id, std::string("Enabled=") + (e ? "1" : "0"));
}
void HeadlessWindow::SetValue(ControlId id, int v) { Note(id, "Value=" + std::to_string(v)); }
void HeadlessWindow::Refresh(ControlId id) { ++refreshes[id]; }
void HeadlessWindow::SetInputEnabled(bool enabled) { input_enabled = enabled; }
void HeadlessWindow::SetShutdownReason(const std::string& reason) { shutdown_reason = reason; }

}  // namespace kvt::headless
