// The window's event handlers: agreement and path pages, the install procedure, finish,
// cancel and close.
#include <string>

#include "net/download.h"
#include "net/manifest.h"
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

int Message(const std::string& text, int style, const char* title) {
  return Sys().ui->MessageBox(text, style, title);
}

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
    default:
      return text::kCannotConnect;
  }
}

}  // namespace

void Fd::Ck_Click() { Ccontinue.SetEnabled(Ck.Value() == 1); }

void Fd::Ccontinue_Click() {
  // The overlay covers the agreement page, so Continue cannot be pressed again during the fetch.
  FrameW.SetVisible(true);
  if (Mupdate::FetchReleaseManifest(Mupdate::ReleaseVersion, Mupdate::UnrarUrl,
                                    Mupdate::PackageUrl) == -1) {
    Lt.SetCaption(std::string(text::kHeadingIntro) + text::kCrLf + text::kProductName +
                  text::kCrLf + text::kCrLf + text::kHeadingVersion + Mupdate::ReleaseVersion);
    FrameW.SetVisible(false);
    Frame1.SetVisible(false);
    Frame2.SetVisible(true);
  } else {
    Message(text::kCannotConnect, platform::kMbCritical, text::kTitleError);
    FrameW.SetVisible(false);
  }
}

void Fd::Cfolder_Click() {
  std::string path;
  switch (Sys().shell->BrowseForFolder(text::kPickerTitle, platform::kBifEditBox,
                                       platform::kSsfDrives, path)) {
    case platform::PickResult::kCancelled:
      return;
    case platform::PickResult::kFailed:
      Message(text::kPickerFailed, platform::kMbCritical, text::kTitleError);
      return;
    case platform::PickResult::kChosen:
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

  Lb.SetCaption(text::kConnecting);
  Lb.SetVisible(true);
  Lb.Refresh();
  Lw.SetWidth(0);
  Lw.SetVisible(true);
  Lw.Refresh();
  Cfolder.SetEnabled(false);
  Cyes.SetEnabled(false);

  // Both downloads are made, so a failure of the first still tries the second; only a volume
  // too full for the extractor is not asked for the far larger archive.
  const std::int16_t extractor = Mupdate::DownloadFile(Mupdate::UnrarUrl,
                                                       dir + text::kExtractorFile, "");
  const Mupdate::DownloadFailure first = Mupdate::LastDownloadFailure;
  const std::int16_t archive =
      first == Mupdate::DownloadFailure::kDiskFull
          ? 0
          : Mupdate::DownloadFile(Mupdate::PackageUrl, dir + text::kArchiveFile,
                                  text::kDownloadPrefix);
  if (extractor != -1 || archive != -1 || PendingError::IsPending()) {
    PendingError::Clear();
    ReturnToIdle(DownloadFailureText(extractor != -1 ? first : Mupdate::LastDownloadFailure));
    return;
  }

  Lb.SetCaption(text::kInstalling);
  Lb.Refresh();
  Cno.SetEnabled(false);

  std::uint32_t pid = 0;
  const platform::ProcessHandle process =
      sys.processes->Start(ExtractorCommandLine(dir), platform::kSwHide, pid);
  if (process == 0) PendingError::Raise("cannot start the extractor");
  platform::DoEvents();
  if (process != 0) {
    // Waited for through the handle of its start, so that its exit code is read however fast
    // it ends: an extractor that reports failure, or whose result cannot be read, has not
    // installed the product.
    std::uint32_t code = 0;
    if (sys.processes->Wait(process, platform::kInfinite) != platform::kWaitObject0 ||
        !sys.processes->ExitCode(process, code)) {
      PendingError::Raise("the extractor's end cannot be told");
    } else if (code != 0) {
      PendingError::Raise("the extractor exited with code " + std::to_string(code));
    }
    sys.processes->Close(process);
  }
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
}

void Fd::ReturnToIdle(const char* message) {
  Message(message, platform::kMbCritical, text::kTitleError);
  Lb.SetVisible(false);
  Lb.Refresh();
  Lw.SetVisible(false);
  Lw.Refresh();
  Cfolder.SetEnabled(true);
  Cyes.SetEnabled(true);
  Cno.SetEnabled(true);
}

void Fd::Cend_Click() {
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

void Fd::Cno_Click() {
  if (Message(text::kConfirmAbandon, platform::kMbOkCancel, text::kTitleNotice) ==
      platform::kIdOk) {
    platform::EndProgram();
  }
}

void Fd::Form_Unload(std::int16_t& Cancel) {
  if (Frame3.Visible()) Cend_Click();
  if (Frame1.Visible()) platform::EndProgram();
  if (Message(text::kConfirmAbandon, platform::kMbOkCancel, text::kTitleNotice) ==
      platform::kIdOk) {
    platform::EndProgram();
  }
  Cancel = -1;
}

}  // namespace kvt
