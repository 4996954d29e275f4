// The window's event handlers: agreement and path pages, the install procedure, finish,
// cancel and close.
#include <string>

#include "net/download.h"
#include "net/manifest.h"
#include "net/mirrors.h"
#include "platform/platform.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "startup/texts.h"
#include "system/process_check.h"
#include "system/shortcut.h"
#include "window/fd.h"

namespace kvt {

using platform::Sys;

namespace {

// The extractor's command line: "<dir>\\UnRAR.exe" x -o+ "<dir>\\KVT_SETUP.rar" "<dir>\"
std::string ExtractorCommandLine(const std::string& dir) {
  return "\"" + dir + text::kExtractorFile + "\" x -o+ \"" + dir + text::kArchiveFile + "\" \"" +
         dir + "\"";
}

// What the user is told when a download failed for `why`.
const char* DownloadFailureText(Mupdate::DownloadFailure why) {
  switch (why) {
    case Mupdate::DownloadFailure::kDiskFull:
      return text::kDiskFull;
    case Mupdate::DownloadFailure::kFileInUse:
      return text::kInstallFailed;
    case Mupdate::DownloadFailure::kTampered:
      return text::kTampered;
    default:
      return text::kCannotConnect;
  }
}

}  // namespace

int Fd::Message(const std::string& text, int style, const char* title) {
  const int answer = Sys().ui->MessageBox(text, style, title);
  progress_.MessageShown(title, text, answer);
  return answer;
}

void Fd::Ck_Click() { Ccontinue.SetEnabled(Ck.Value() == 1); }

void Fd::Ccontinue_Click() {
  if (!busy_.Idle()) return;
  BusyState::Scope fetching(busy_, Activity::kFetching);
  // The overlay covers the agreement page, so Continue cannot be pressed again during the fetch.
  FrameW.SetVisible(true);
  if (Mupdate::FetchReleaseManifest(vendor_, Mupdate::ReleaseVersion, Mupdate::UnrarUrl,
                                    Mupdate::PackageUrl, signed_files_, &progress_) == -1) {
    Lt.SetCaption(std::string(text::kHeadingIntro) + text::kCrLf + text::kProductName +
                  text::kCrLf + text::kCrLf + text::kHeadingVersion + Mupdate::ReleaseVersion);
    FrameW.SetVisible(false);
    Frame1.SetVisible(false);
    Frame2.SetVisible(true);
  } else {
    Message(Mupdate::LastDownloadFailure == Mupdate::DownloadFailure::kTampered
                ? text::kTampered
                : text::kCannotConnect,
            platform::kMbCritical, text::kTitleError);
    FrameW.SetVisible(false);
  }
}

void Fd::Cfolder_Click() {
  if (!busy_.Idle()) return;
  std::string path;
  platform::PickResult result;
  {
    // The picker has no owner window: input to this window is blocked while it is open, and
    // whatever arrives otherwise (a message from another program) finds the window busy.
    BusyState::Scope picking(busy_, Activity::kPicking);
    backend_.SetInputEnabled(false);
    result = Sys().shell->BrowseForFolder(text::kPickerTitle, platform::kBifEditBox,
                                          platform::kSsfDrives, path);
    backend_.SetInputEnabled(true);
  }
  switch (result) {
    case platform::PickResult::kCancelled:
      return;
    case platform::PickResult::kFailed:
      Message(text::kPickerFailed, platform::kMbCritical, text::kTitleError);
      return;
    case platform::PickResult::kChosen:
      // Only the idle path page takes a choice: the folder of an install never moves.
      if (!busy_.Idle() || !Frame2.Visible()) return;
      // One backslash is always appended, also to a drive root that already ends in one.
      Mupdate::InstallPath = path + "\\";
      Tpath.SetText(Mupdate::InstallPath);
      return;
  }
}

void Fd::Tpath_DblClick() {
  if (Cfolder.Enabled()) Cfolder_Click();
}

void Fd::Cyes_Click() {
  if (!busy_.Idle()) return;
  InstallRun run(*this);
  abandoned_ = false;
  const platform::Platform& sys = Sys();
  const std::string& dir = Mupdate::InstallPath;

  if (Mupdate::IsProcessRunning(text::kExcel) == -1) {
    Message(text::kExcelRunning, platform::kMbInformation, text::kTitleNotice);
    return;
  }

  // From here on a failed step is recorded as the pending error and the next step runs; the
  // pending error is tested after the downloads and after the extractor.
  PendingError::Clear();

  const std::string drive = dir.substr(0, 2);
  bool ok = true;
  if (!sys.files->DirectoryExists(drive, ok) || !ok) {
    Message(text::kDrivePrefix + drive + text::kDriveSuffix, platform::kMbCritical,
            text::kTitleError);
    return;
  }

  if (!sys.files->DirectoryExists(dir, ok) || !ok) {
    // A failure here (a missing parent folder) shows when the downloads cannot store files.
    if (!sys.files->CreateDirectory(dir)) PendingError::Raise("cannot create " + dir);
  }

  progress_.Note("Install into " + dir);
  busy_.Begin(Activity::kDownloading);
  Lb.SetCaption(text::kConnecting);
  Lb.SetVisible(true);
  Lb.Refresh();
  Lw.SetWidth(0);
  Lw.SetVisible(true);
  Lw.Refresh();
  Cfolder.SetEnabled(false);
  Cyes.SetEnabled(false);

  // A signed release: each file must be what was verified at Continue (extractor, archive);
  // without that record nothing is downloaded.
  const Mupdate::SignedFile* expected = nullptr;
  if (!vendor_.keys->points.empty()) {
    if (signed_files_.size() != 2) {
      PendingError::Clear();
      ReturnToIdle(text::kTampered);
      return;
    }
    expected = signed_files_.data();
  }

  // Both downloads are made, so a failure of the first still tries the second; but an extractor
  // that is not what the vendor signed ends the install at once, and a volume too full for the
  // extractor is not asked for the far larger archive.
  // Each file that arrives whole stays held until the extractor has ended
  // (EndDownloadsAndExtraction lets go). A file that fails on the vendor host is tried on each
  // mirror.
  const std::int16_t extractor =
      Mupdate::DownloadFileFromHosts(Mupdate::UnrarUrl, dir + text::kExtractorFile, "", expected,
                                     vendor_, &held_extractor_, &progress_);
  const Mupdate::DownloadFailure first = Mupdate::LastDownloadFailure;
  const bool stop =
      first == Mupdate::DownloadFailure::kDiskFull || first == Mupdate::DownloadFailure::kTampered;
  const std::int16_t archive =
      stop ? 0
           : Mupdate::DownloadFileFromHosts(Mupdate::PackageUrl, dir + text::kArchiveFile,
                                            text::kDownloadPrefix,
                                            expected ? expected + 1 : nullptr, vendor_,
                                            &held_archive_, &progress_);
  if (extractor != -1 || archive != -1 || PendingError::IsPending()) {
    PendingError::Clear();
    // A tampered archive is named as such whatever became of the extractor.
    const Mupdate::DownloadFailure why =
        extractor != -1 && Mupdate::LastDownloadFailure != Mupdate::DownloadFailure::kTampered
            ? first
            : Mupdate::LastDownloadFailure;
    ReturnToIdle(DownloadFailureText(why));
    return;
  }

  busy_.End(Activity::kDownloading);
  busy_.Begin(Activity::kExtracting);
  Lb.SetCaption(text::kInstalling);
  Lb.Refresh();
  Cno.SetEnabled(false);

  // What was checked is what runs: both names must still lead to the files held.
  const bool extractor_held = sys.files->StillHeld(held_extractor_.Get());
  if (!extractor_held || !sys.files->StillHeld(held_archive_.Get())) {
    progress_.Note(std::string("Install FAILED before the extractor: ") +
                   (extractor_held ? text::kArchiveFile : text::kExtractorFile) +
                   " is no longer the file that was checked (changed, replaced or removed)");
    PendingError::Clear();
    ReturnToIdle(text::kTampered);
    return;
  }

  std::uint32_t pid = 0;
  // Owned: ended with this program, and by a confirmed close while it runs (Form_Unload).
  const std::string command_line = ExtractorCommandLine(dir);
  const double started = sys.clock->MonotonicSeconds();
  const platform::ProcessHandle process =
      sys.processes->StartOwned(command_line, platform::kSwHide, pid);
  progress_.ExtractorStarts(command_line, process != 0);
  if (process == 0) PendingError::Raise("cannot start the extractor");
  extractor_ = process;
  platform::DoEvents();
  if (process != 0) {
    // Waited for through the handle of its start, so that its exit code is read however fast
    // it ends: an extractor that reports failure, or whose result cannot be read, has not
    // installed the product.
    std::uint32_t code = 0;
    const bool known =
        sys.processes->Wait(process, platform::kInfinite) == platform::kWaitObject0 &&
        sys.processes->ExitCode(process, code);
    progress_.ExtractorEnds(known, code, sys.clock->MonotonicSeconds() - started);
    if (!known) {
      PendingError::Raise("the extractor's end cannot be told");
    } else if (code != 0) {
      PendingError::Raise("the extractor exited with code " + std::to_string(code));
    }
    extractor_ = 0;
    sys.processes->Close(process);
  }
  // Given up while the extractor ran: a failure, also when it had ended by the time of the answer.
  if (abandoned_) PendingError::Raise("the install was given up");
  held_extractor_.Reset();
  held_archive_.Reset();
  if (PendingError::IsPending()) {
    PendingError::Clear();
    ReturnToIdle(text::kInstallFailed);
    return;
  }

  Lb.SetCaption(text::kInstallDone);
  Lb.Refresh();
  Lw.SetWidth(Lb.Width());
  Lw.Refresh();
  // A shortcut that cannot be written is not reported: the product is installed.
  Mupdate::CreateDesktopShortcut(dir + text::kProductExe, text::kProductName);
  Lfinish.SetCaption(std::string(text::kProductName) + text::kFinishedSuffix);
  Crun.SetCaption(std::string(text::kRunPrefix) + text::kProductName);
  Frame2.SetVisible(false);
  Frame3.SetVisible(true);
  progress_.Note("Install complete: the finish page is shown");
}

void Fd::ReturnToIdle(const char* message) {
  EndDownloadsAndExtraction();
  Message(message, platform::kMbCritical, text::kTitleError);
  Lb.SetVisible(false);
  Lb.Refresh();
  Lw.SetVisible(false);
  Lw.Refresh();
  Cfolder.SetEnabled(true);
  Cyes.SetEnabled(true);
  Cno.SetEnabled(true);
}

void Fd::EndDownloadsAndExtraction() {
  busy_.End(Activity::kDownloading);
  busy_.End(Activity::kExtracting);
  extractor_ = 0;
  abandoned_ = false;
  held_extractor_.Reset();
  held_archive_.Reset();
  // The window keeps whether a reason is registered; withdrawing none does nothing.
  backend_.SetShutdownReason("");
}

void Fd::Cend_Click() {
  if (!busy_.Idle()) return;
  if (Crun.Value() == 1) {
    const std::string program = Mupdate::InstallPath + text::kProductExe;
    std::uint32_t pid = 0;
    const platform::ProcessHandle product =
        Sys().processes->Start("\"" + program + "\"", platform::kSwShowNormal, pid);
    if (product == 0) {
      Message(text::kCannotStartPrefix + program, platform::kMbCritical, text::kTitleError);
    } else {
      Sys().processes->Close(product);  // the product runs on its own
    }
  }
  platform::EndProgram();
}

bool Fd::ConfirmAbandon() {
  BusyState::Scope asking(busy_, Activity::kAsking);
  return Message(text::kConfirmAbandon, platform::kMbOkCancel, text::kTitleNotice) ==
         platform::kIdOk;
}

void Fd::Cno_Click() {
  // Cancel belongs to the path page, idle or downloading; it is disabled while the extractor
  // runs, and a click that arrives while the picker or the question is open is refused.
  if (busy_.Is(Activity::kAsking) || busy_.Is(Activity::kPicking) ||
      busy_.Is(Activity::kFetching) || busy_.Is(Activity::kExtracting)) {
    return;
  }
  if (ConfirmAbandon()) platform::EndProgram();
}

void Fd::Form_Unload(std::int16_t& Cancel) {
  if (busy_.Is(Activity::kAsking)) {
    Cancel = -1;  // the question is open already
    return;
  }
  if (Frame3.Visible()) Cend_Click();
  if (Frame1.Visible()) platform::EndProgram();
  if (busy_.Is(Activity::kExtracting)) {
    // An extractor may hang (a prompt in its hidden console). OK ends it, not the program: the
    // install takes its failure path and the page returns to idle, also when the extractor
    // ended while the question was open. An extractor that cannot be ended goes with the
    // program.
    if (ConfirmAbandon()) {
      abandoned_ = true;
      if (extractor_ != 0 && !Sys().processes->Terminate(extractor_)) platform::EndProgram();
    }
    Cancel = -1;
    return;
  }
  if (ConfirmAbandon()) platform::EndProgram();
  Cancel = -1;
}

bool Fd::Form_QueryEndSession() {
  if (!busy_.DownloadingOrExtracting()) return true;
  // Registering it again replaces the same text.
  backend_.SetShutdownReason(text::kShutdownReason);
  progress_.Note("A log-off or shut-down was refused while installing");
  return false;
}

void Fd::Form_EndSession(bool ending) {
  // Ended where it stands, like a confirmed close: a partial download stays, nothing is renamed.
  if (ending) platform::EndProgram();
}

}  // namespace kvt
