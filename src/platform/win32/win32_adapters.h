// The real Windows adapters behind the platform interfaces (everything except the window and
// the user-interface side, which live in win32_window.h and win32_ui.h).
#pragma once

// <windows.h> maps these names to their W forms; the platform interfaces use them as plain
// member names. Include this header before any other header that pulls in platform/files.h.
#include <windows.h>
#undef CreateDirectory
#undef DeleteFile

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/internet.h"
#include "platform/log_store.h"
#include "platform/process_list.h"
#include "platform/processes.h"
#include "platform/resolver.h"
#include "platform/shell.h"

namespace kvt::win32 {

// WinINet, narrow functions; every text goes through the ANSI code page. The session is
// asynchronous: sending and reading return at once, and while one has to wait the window's
// thread processes its messages (win32_wait.h). Each read takes what has arrived, up to 64 KiB.
class WinInetInternet : public platform::Internet {
 public:
  // `http_port` and `https_port` are the ports actually dialled when port 80 or 443 is asked
  // for: 80 and 443 in the product, loopback servers' ports in tests. `timeout_cap_ms` (tests
  // only) shortens every time-out the caller sets to at most that. Certificates are checked by
  // WinINet itself on requests opened with INTERNET_FLAG_SECURE.
  explicit WinInetInternet(std::uint16_t http_port = platform::kInternetDefaultHttpPort,
                           std::uint32_t timeout_cap_ms = 0,
                           std::uint16_t https_port = platform::kInternetDefaultHttpsPort)
      : http_port_(http_port), https_port_(https_port), timeout_cap_ms_(timeout_cap_ms) {}

  bool GetConnectedState() override;
  // INTERNET_PER_CONN_FLAGS of the LAN settings: PROXY_TYPE_PROXY, _AUTO_PROXY_URL or
  // _AUTO_DETECT; where that option cannot be read, INTERNET_OPTION_PROXY naming a proxy.
  bool ProxyConfigured() override;
  platform::InetHandle Open(const std::string& agent) override;
  platform::InetHandle Connect(platform::InetHandle open, const std::string& host,
                               std::uint16_t port) override;
  platform::InetHandle OpenRequest(platform::InetHandle connect, const std::string& verb,
                                   const std::string& object, const std::string& version,
                                   std::uint32_t flags) override;
  bool AddRequestHeaders(platform::InetHandle request, const std::string& line,
                         std::uint32_t modifiers) override;
  bool SetOption(platform::InetHandle handle, std::uint32_t option, std::uint32_t value) override;
  bool SendRequest(platform::InetHandle request) override;
  bool QueryInfo(platform::InetHandle request, std::uint32_t info_level, std::size_t buffer_size,
                 std::string& text) override;
  bool ReadFile(platform::InetHandle request, char* buffer, std::uint32_t size,
                std::uint32_t& read) override;
  // The dialog is owned by the window `owner` gives (none when it gives none).
  std::uint32_t ErrorDlg(platform::InetHandle request, std::uint32_t error,
                         std::uint32_t flags) override;
  void CloseHandle(platform::InetHandle handle) override;

  // Where ErrorDlg finds its owner window: the installer window, once it exists.
  void SetDialogOwner(std::function<HWND()> owner) { owner_ = std::move(owner); }

 private:
  std::function<HWND()> owner_;
  std::uint16_t http_port_;
  std::uint16_t https_port_;
  std::uint32_t timeout_cap_ms_;
  static constexpr DWORD kPieceBytes = 64 * 1024;
  struct RequestState;
  // WinINet's status callback (the handle is an HINTERNET).
  static void CALLBACK StatusCallback(void* handle, DWORD_PTR context, DWORD status, void* info,
                                      DWORD length);
  RequestState* Find(platform::InetHandle request) const;
  static bool EndedSecure(platform::InetHandle request);

  // The time-outs last set; a wait that outlasts them (plus a little) is given up even if
  // WinINet does not end it.
  std::uint32_t connect_timeout_ms_ = 0;
  std::uint32_t receive_timeout_ms_ = 0;
  std::map<platform::InetHandle, RequestState*> requests_;  // open request handles
};

// Windows Sockets 1.1 (wsock32). The lookup runs on a worker thread while the window's thread
// processes its messages, and counts as failed past the resolve time-out.
class WinsockResolver : public platform::Resolver {
 public:
  int Startup(std::uint16_t version) override;
  bool GetHostByName(const std::string& name) override;
  int Cleanup() override;

 private:
  int startups_ = 0;  // successful start-ups not yet cleaned up
};

// Files through the wide functions, so Chinese path names pass unchanged.
class Win32FileSystem : public platform::FileSystem {
 public:
  bool FileExists(const std::string& path, bool& ok) override;
  bool DirectoryExists(const std::string& path, bool& ok) override;
  bool CreateDirectory(const std::string& path) override;
  // kHeld for a sharing or lock violation and for a denied access (which is also what a file
  // whose deletion waits for its last holder answers).
  platform::FileResult DeleteFile(const std::string& path) override;
  platform::FileResult RenameFile(const std::string& from, const std::string& to) override;
  // Opened for reading, writing and deletion, shared for reading only: a scanner that asks to
  // read without sharing our access is refused as long as the file is written.
  platform::FileHandle CreateForWrite(const std::string& path) override;
  platform::FileResult DeleteOpen(platform::FileHandle file) override;
  // Renamed through the writing handle; then a shared lock over every byte (and a read-only
  // mapping, which forbids truncation) taken through a second handle keeps the bytes as they
  // are while the writing handle is closed and a reading handle that shares reading only is
  // opened by the name. That handle must lead to the file written, at its size: it is what is
  // held. kHeld when another process opened the file for writing in between and keeps it.
  platform::FileResult HoldAs(platform::FileHandle& file, const std::string& to, std::uint64_t size,
                              platform::HeldFile& held) override;
  bool StillHeld(platform::HeldFile held) override;
  bool Release(platform::HeldFile held) override;
  // kDiskFull for ERROR_DISK_FULL and ERROR_HANDLE_DISK_FULL.
  platform::FileResult WriteAt(platform::FileHandle file, std::uint64_t offset, const char* data,
                               std::size_t size) override;
  // GetDiskFreeSpaceExW: the bytes free to this user (quotas included).
  bool FreeSpace(const std::string& folder, std::uint64_t& bytes) override;
  bool Close(platform::FileHandle file) override;
  bool ReadAllBytes(const std::string& path, std::size_t max_bytes, std::string& bytes) override;
  std::string ProgramFolder() override;
  // DecodeText with the ANSI code page of the system.
  std::string TextFromBytes(const std::string& bytes) override;
  bool FileSize(const std::string& path, std::uint64_t& bytes) override;

  // The thread's last error: read right after the call that failed, it is that call's.
  std::uint32_t LastErrorCode() override { return ::GetLastError(); }
 private:
  // The full name of each held file.
  std::map<platform::HeldFile, std::wstring> held_names_;
};

// SHA-256 and ECDSA P-256 through CNG (bcrypt.dll, delay-loaded from the system folder).
class CngCrypto : public platform::Crypto {
 public:
  std::unique_ptr<platform::Sha256> NewSha256() override;
  bool VerifyP256(const std::string& public_point, const std::string& message,
                  const std::string& signature) override;
};

class Win32Clock : public platform::Clock {
 public:
  double MonotonicSeconds() override;
  double SecondsSinceMidnight() override;
  std::string DecimalSeparator() override;
};

// The support log in the user's temporary folder (GetTempPathW).
class Win32LogStore : public platform::LogStore {
 public:
  std::string Folder() override;
  std::string SystemDescription() override;
  platform::LocalTime Now() override;
  bool Replace(const std::string& from, const std::string& to) override;
  bool Write(const std::string& path, const std::string& bytes) override;
  bool Append(const std::string& path, const std::string& bytes) override;
};

// Processes started by CreateProcessW. An owned one runs in a job object of its own that kills
// it when the job's last handle closes: on Terminate, on Close, and when this program ends
// however it ends. Waits process the window's messages (win32_wait.h).
class Win32Processes : public platform::Processes {
 public:
  Win32Processes() = default;
  ~Win32Processes() override;
  Win32Processes(const Win32Processes&) = delete;
  Win32Processes& operator=(const Win32Processes&) = delete;

  platform::ProcessHandle Start(const std::string& command_line, int window_style,
                                std::uint32_t& pid) override;
  platform::ProcessHandle StartOwned(const std::string& command_line, int window_style,
                                     std::uint32_t& pid) override;
  bool Terminate(platform::ProcessHandle process) override;
  std::uint32_t Wait(platform::ProcessHandle process, std::uint32_t milliseconds) override;
  bool ExitCode(platform::ProcessHandle process, std::uint32_t& code) override;
  bool Close(platform::ProcessHandle process) override;

 private:
  platform::ProcessHandle Launch(const std::string& command_line, int window_style, bool owned,
                                 std::uint32_t& pid);

  // The job of each owned process (null when the system refused to put it in one: it is then
  // ended by TerminateProcess).
  std::map<HANDLE, HANDLE> jobs_;
};

// The process list through WMI's scripting objects, late-bound ("winmgmts:" + ExecQuery).
class WmiProcessList : public platform::ProcessList {
 public:
  platform::ProcessQueryAnswer ExecQuery(const std::string& query_text) override;
};

// Folder picker (SHBrowseForFolderW) and shell links (IShellLinkW).
class Win32Shell : public platform::Shell {
 public:
  platform::PickResult BrowseForFolder(const std::string& title, int options, int root,
                                       std::string& path) override;
  bool DesktopFolder(std::string& path) override;
  bool SaveShortcut(const std::string& link_path, const std::string& target) override;
};

}  // namespace kvt::win32
