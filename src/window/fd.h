// The installer window Fd: every control's state, kept here and mirrored to the window
// backend, and the event handlers that drive the whole installer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/events.h"
#include "net/manifest.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/window_backend.h"
#include "window/busy_state.h"
#include "window/control_ids.h"
#include "window/layout.h"
#include "window/progress_display.h"

namespace kvt {

class Fd;

// One control of the window. Properties are read from this model; every change is passed on to
// the backend at once.
class Control {
 public:
  Control(Fd& owner, ControlId id);
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  ControlId id() const { return id_; }

  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // Caption of labels, buttons and check boxes; Text of text boxes (one storage).
  const std::string& Caption() const { return text_; }
  void SetCaption(const std::string& text);
  const std::string& Text() const { return text_; }
  void SetText(const std::string& text) { SetCaption(text); }
  // Check boxes: 0 not ticked, 1 ticked.
  int Value() const { return value_; }
  void SetValue(int value);
  double Left() const { return left_; }
  double Top() const { return top_; }
  void SetLeft(double left);
  void SetTop(double top);
  double Width() const { return width_; }
  void SetWidth(double width);
  // Repaints the control at once.
  void Refresh();

  // The user changed a check box in the window itself; the backend already shows it.
  void ValueChangedByUser(int value) { value_ = value; }

 private:
  platform::WindowBackend& backend() const;

  Fd& owner_;
  ControlId id_;
  bool visible_;
  bool enabled_;
  std::string text_;
  int value_;
  double left_, top_, width_;
};

class Fd {
 public:
  // Creates the window through the backend and runs Form_Initialize; the run fetches and installs
  // the releases `vendor` describes, reporting what happens to `log` (when given). Use
  // Mupdate::FdInstance().
  Fd(platform::WindowBackend& backend, const Mupdate::VendorSettings& vendor,
     Mupdate::Events* log = nullptr);
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  platform::WindowBackend& backend() const { return backend_; }
  Control& Get(ControlId id);

  int OuterWidth() const { return outer_width_; }
  int OuterHeight() const { return outer_height_; }
  // The receiver of a transfer's events that shows them in Lb and Lw (and passes them on).
  Mupdate::Events& Progress() { return progress_; }

  // Event handlers.
  void Form_Initialize();
  void Ck_Click();
  void Ccontinue_Click();
  void Cfolder_Click();
  void Tpath_DblClick();
  void Cyes_Click();
  void Cend_Click();
  void Cno_Click();
  // `Cancel` set to true (-1) keeps the window open.
  void Form_Unload(std::int16_t& Cancel);
  // The system asks whether the session may end (log-off, shut-down): no while an install
  // runs (the reason is then registered with the window), yes at any other time.
  bool Form_QueryEndSession();
  // The session ends (`ending` true): the program ends at once, leaving the files as a close
  // would.
  void Form_EndSession(bool ending);

 private:
  // Marks Start's handler as running; however it is left, the install counts as ended.
  class InstallRun {
   public:
    explicit InstallRun(Fd& fd) : fd_(fd) { fd_.busy_.Begin(Activity::kInstalling); }
    ~InstallRun() {
      fd_.EndDownloadsAndExtraction();
      fd_.busy_.End(Activity::kInstalling);
    }
    InstallRun(const InstallRun&) = delete;
    InstallRun& operator=(const InstallRun&) = delete;

   private:
    Fd& fd_;
  };

  // Shows `message` and returns the path page to idle so that the user can try again.
  void ReturnToIdle(const char* message);
  // The downloads and the extractor are over (the install itself may go on to its shortcut, or
  // to the failure message): a log-off is no longer held up.
  void EndDownloadsAndExtraction();
  // A message box, reported to the log with the answer.
  int Message(const std::string& text, int style, const char* title);
  // Asks whether to abandon the install; true for OK. A second request to leave that arrives
  // while the question is open is refused.
  bool ConfirmAbandon();

  platform::WindowBackend& backend_;
  // The scheme and release keys of this run, fixed when it starts.
  const Mupdate::VendorSettings vendor_;
  int outer_width_ = 0;
  int outer_height_ = 0;
  BusyState busy_;
  // The extractor while it is waited for (0 otherwise): closing the window may end it.
  platform::ProcessHandle extractor_ = 0;
  // The user confirmed giving up while the extractor ran: the install fails, however the
  // extractor ended.
  bool abandoned_ = false;
  // The downloaded extractor and archive, held from their check until the extractor has ended.
  platform::UniqueHeldFile held_extractor_, held_archive_;
  // What the vendor signed about the extractor and the archive, from the last manifest fetch
  // that verified its signature file; empty in a build without release keys.
  std::vector<Mupdate::SignedFile> signed_files_;

 public:
  // Pages.
  Control Frame1, FrameW, Frame2, Frame3;
  // Agreement page.
  Control Label1, Label2, Txy, Ck, Ccontinue;
  // Waiting overlay.
  Control Label3;
  // Install-path page.
  Control Lt, Lpath, Tpath, Cfolder, Lb, Lw, Line1, Cyes, Cno;
  // Finish page.
  Control Label4, Lfinish, Label5, Crun, Line2, Cend;

 private:
  // Shows transfers in Lb and Lw, and passes every report on to the log.
  ProgressDisplay progress_{Lb, Lw};
};

// The agreement shown in Txy: 17 lines joined by CR LF, no line break after the last.
std::string AgreementText();

}  // namespace kvt
