// Stand-in for the command-line RAR extractor "UnRAR.exe" of the demo release. It understands
// exactly the command line the installer uses,
//
//   "<dir>\\UnRAR.exe" x -o+ "<dir>\\KVT_SETUP.rar" "<dir>\"
//
// and extracts a KVTPACK1 archive (kvtpack_format.h) with full paths into the destination
// folder, creating folders and overwriting existing files. The genuine vendor serves the real
// UnRAR and a real RAR archive instead; this program only exists so the demo release can be
// built from free tools.
//
// The destination argument: the installer's folder ends in a backslash right before the
// closing quote, so under the usual argument rules "\"" is an escaped quote and the argument
// arrives as `D:\KVT记账宝"` (the quote is part of it). A file name can never contain '"', so
// trailing quotes are stripped and the remainder is taken as the folder.
//
// Exit codes follow the genuine UnRAR's: 0 success, 3 archive corrupt (CRC or structure),
// 5 write error, 6 archive cannot be opened, 7 wrong command line, 8 out of memory,
// 9 a file or folder cannot be created. Diagnostics go to the standard error handle when the
// starter gave one; the program never opens a window of its own. Tests can make it slow with
// the environment variable KVT_UNRAR_DELAY_MS (a wait before it starts), and KVT_UNRAR_MARKER
// (a file it makes when it runs).
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "kvtpack_format.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCorrupt = 3;
constexpr int kExitWrite = 5;
constexpr int kExitOpen = 6;
constexpr int kExitUsage = 7;
constexpr int kExitMemory = 8;
constexpr int kExitCreate = 9;

// Archives are checked whole before anything is written, so they are read into memory.
constexpr std::uint64_t kMaxArchiveBytes = std::uint64_t{1} << 30;

std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

bool FromUtf8(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(n);
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), out.data(), n) == n;
}

// One line to the standard error handle, if the starter provided one (UTF-8).
void Report(std::string_view line) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  std::string text = "UnRAR: ";
  text.append(line);
  text.append("\r\n");
  DWORD written = 0;
  WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string LastErrorText(const char* what, const std::wstring& path) {
  return std::string(what) + " " + ToUtf8(path) + " (error " + std::to_string(GetLastError()) +
         ")";
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  // Closes now and reports whether the close succeeded (it can fail to flush).
  bool Close() {
    const bool ok = !valid() || CloseHandle(h_);
    h_ = nullptr;
    return ok;
  }

 private:
  HANDLE h_;
};

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates every missing folder level of `folder` (which ends in a backslash).
bool EnsureFolder(const std::wstring& folder) {
  for (std::size_t i = 0; i < folder.size(); ++i) {
    if (folder[i] != L'\\' || i == 0 || folder[i - 1] == L':' || folder[i - 1] == L'\\') {
      continue;
    }
    const std::wstring prefix = folder.substr(0, i);
    if (!IsDirectory(prefix)) CreateDirectoryW(prefix.c_str(), nullptr);
  }
  return IsDirectory(folder);
}

int ReadArchive(const std::wstring& path, std::string& bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    Report(LastErrorText("cannot open archive", path));
    return kExitOpen;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<std::uint64_t>(size.QuadPart) > kMaxArchiveBytes) {
    Report("archive too large or unreadable: " + ToUtf8(path));
    return kExitOpen;
  }
  try {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::bad_alloc&) {
    Report("out of memory");
    return kExitMemory;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes.data() + done, want, &got, nullptr) || got == 0) {
      Report(LastErrorText("cannot read archive", path));
      return kExitOpen;
    }
    done += got;
  }
  return kExitOk;
}

int WriteEntry(const std::wstring& target, std::string_view data) {
  // -o+: an existing file is replaced, even when it is marked read-only.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  Handle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    Report(LastErrorText("cannot create", target));
    return kExitCreate;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 20));
    DWORD wrote = 0;
    if (!WriteFile(file.get(), data.data() + done, want, &wrote, nullptr) || wrote == 0) {
      Report(LastErrorText("cannot write", target));
      return kExitWrite;
    }
    done += wrote;
  }
  if (!file.Close()) {
    Report(LastErrorText("cannot close", target));
    return kExitWrite;
  }
  return kExitOk;
}

// The destination as given, without the quote(s) that the installer's trailing "\"" leaves on
// it, as a folder path ending in a backslash. Empty when nothing usable remains.
std::wstring DestinationFolder(std::wstring dest) {
  while (!dest.empty() && dest.back() == L'"') dest.pop_back();
  for (wchar_t& c : dest) {
    if (c == L'/') c = L'\\';
  }
  if (!dest.empty() && dest.back() != L'\\') dest.push_back(L'\\');
  return dest;
}

int Run(const std::vector<std::wstring>& args) {
  if (args.size() != 5 || (args[1] != L"x" && args[1] != L"X") || args[2] != L"-o+") {
    Report("usage: UnRAR x -o+ <archive> <destination folder>\\");
    return kExitUsage;
  }
  const std::wstring& archive = args[3];
  const std::wstring folder = DestinationFolder(args[4]);
  if (archive.empty() || folder.empty()) {
    Report("empty archive or destination");
    return kExitUsage;
  }

  std::string bytes;
  if (const int rc = ReadArchive(archive, bytes); rc != kExitOk) return rc;
  std::vector<kvt::pack::Entry> entries;
  std::string error;
  if (!kvt::pack::Parse(bytes, entries, error)) {
    Report(ToUtf8(archive) + ": " + error);
    return kExitCorrupt;
  }

  if (!EnsureFolder(folder)) {
    Report(LastErrorText("cannot create folder", folder));
    return kExitCreate;
  }
  for (const auto& entry : entries) {
    std::wstring relative;
    if (!FromUtf8(entry.path, relative)) {
      Report("bad file name in archive");
      return kExitCorrupt;
    }
    for (wchar_t& c : relative) {
      if (c == L'/') c = L'\\';
    }
    const std::wstring target = folder + relative;
    const std::size_t last = target.rfind(L'\\');
    if (!EnsureFolder(target.substr(0, last + 1))) {
      Report(LastErrorText("cannot create folder for", target));
      return kExitCreate;
    }
    if (const int rc = WriteEntry(target, entry.data); rc != kExitOk) return rc;
    Report("extracted " + entry.path);
  }
  Report("all OK");
  return kExitOk;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // For the tests: a slow extractor, KVT_UNRAR_DELAY_MS milliseconds before it starts work.
  wchar_t delay[16] = {};
  if (GetEnvironmentVariableW(L"KVT_UNRAR_DELAY_MS", delay, 16) > 0) Sleep(_wtoi(delay));
  // For the tests: KVT_UNRAR_MARKER names a file made as soon as the extractor runs.
  wchar_t marker[MAX_PATH] = {};
  const DWORD marker_size = GetEnvironmentVariableW(L"KVT_UNRAR_MARKER", marker, MAX_PATH);
  if (marker_size > 0 && marker_size < MAX_PATH) {
    const HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return kExitMemory;
  std::vector<std::wstring> args(argv, argv + argc);
  LocalFree(argv);
  try {
    return Run(args);
  } catch (const std::bad_alloc&) {
    Report("out of memory");
    return kExitMemory;
  }
}
