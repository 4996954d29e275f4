#include "platform/win32/win32_adapters.h"

#include <vector>

#include "platform/win32/win32_handles.h"
#include "platform/text_decoding.h"
#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {

HANDLE H(platform::FileHandle h) { return reinterpret_cast<HANDLE>(h); }

// A listing that finds nothing is an answer, not a failure.
bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_NO_MORE_FILES;
}

// What a listing without attribute flags shows: no folders, no hidden or system files.
bool IsOrdinaryFile(DWORD attributes) {
  return (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

// What the last error of a failed call says about it.
platform::FileResult LastFailure() {
  switch (::GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:  // also a file whose deletion is pending until a holder closes it
      return platform::FileResult::kHeld;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return platform::FileResult::kDiskFull;
    default:
      return platform::FileResult::kFailed;
  }
}

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

// One file: the same volume and the same index on it.
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The absolute name of `path`, with runs of separators made one; empty on failure.
std::wstring FullName(const std::string& path) {
  const std::wstring wide = Widen(path);
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n);
  }
}

}  // namespace

bool Win32FileSystem::FileExists(const std::string& path, bool& ok) {
  ok = true;
  WIN32_FIND_DATAW found{};
  UniqueFind find(::FindFirstFileW(Widen(path).c_str(), &found));
  if (!find) {
    ok = IsNotFound(::GetLastError());
    return false;
  }
  do {
    if (IsOrdinaryFile(found.dwFileAttributes)) return true;
  } while (::FindNextFileW(find.Get(), &found));
  return false;
}

bool Win32FileSystem::DirectoryExists(const std::string& path, bool& ok) {
  ok = true;
  std::wstring wide = Widen(path);
  // "D:" alone means the current folder of drive D to Windows; the listing asks for its root.
  if (wide.size() == 2 && wide[1] == L':') wide += L'\\';
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    ok = IsNotFound(error) || error == ERROR_INVALID_DRIVE || error == ERROR_NOT_READY;
    return false;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32FileSystem::CreateDirectory(const std::string& path) {
  return ::CreateDirectoryW(Widen(path).c_str(), nullptr) != FALSE;
}

platform::FileResult Win32FileSystem::DeleteFile(const std::string& path) {
  if (::DeleteFileW(Widen(path).c_str())) return platform::FileResult::kOk;
  return LastFailure();
}

platform::FileResult Win32FileSystem::RenameFile(const std::string& from, const std::string& to) {
  if (::MoveFileW(Widen(from).c_str(), Widen(to).c_str())) return platform::FileResult::kOk;
  return LastFailure();
}

platform::FileHandle Win32FileSystem::CreateForWrite(const std::string& path) {
  // DELETE access, so that the file can be renamed or deleted through this same handle; others
  // may open it only to read, sharing all of that.
  HANDLE file =
      ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  return reinterpret_cast<platform::FileHandle>(file);
}

platform::FileResult Win32FileSystem::DeleteOpen(platform::FileHandle file) {
  if (file == 0) return platform::FileResult::kFailed;
  UniqueHandle owned(H(file));
  FILE_DISPOSITION_INFO info{TRUE};
  if (!::SetFileInformationByHandle(owned.Get(), FileDispositionInfo, &info, sizeof info)) {
    return LastFailure();
  }
  // The file goes when its last handle closes: this one.
  return platform::FileResult::kOk;
}

platform::FileResult Win32FileSystem::HoldAs(platform::FileHandle& file, const std::string& to,
                                             std::uint64_t size, platform::HeldFile& held) {
  held = 0;
  if (file == 0) return platform::FileResult::kFailed;
  const std::wstring name = FullName(to);
  if (name.empty()) return platform::FileResult::kFailed;
  BY_HANDLE_FILE_INFORMATION written{};
  if (!::GetFileInformationByHandle(H(file), &written) || SizeOf(written) != size) {
    return platform::FileResult::kChanged;
  }

  // Renamed through the writing handle, which lets nobody else write, rename or delete.
  const std::wstring nt_name = L"\\??\\" + name;
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nt_name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nt_name.size() * sizeof(wchar_t));
  nt_name.copy(rename->FileName, nt_name.size());
  if (!::SetFileInformationByHandle(H(file), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
    return LastFailure();  // still open: the caller may try again
  }
  UniqueHandle writer(H(file));
  file = 0;

  // A second handle has to share the writer's access. Through it a shared lock over every byte,
  // to the largest offset, refuses every write and every growth, and a mapping (when there is a
  // byte to map) refuses truncation, while the writer closes.
  UniqueHandle bridge(::CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!bridge) return LastFailure();
  OVERLAPPED whole{};
  if (!::LockFileEx(bridge.Get(), LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
    return LastFailure();
  }
  UniqueHandle mapping;
  if (size > 0) {
    mapping.Reset(::CreateFileMappingW(bridge.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return LastFailure();
  }
  writer.Reset();

  // From this open on nobody may open the file to write, rename or delete it; and it fails if
  // someone opened it to write while the writer closed and keeps it open.
  UniqueHandle reader(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!reader) return LastFailure();
  BY_HANDLE_FILE_INFORMATION now{};
  if (!::GetFileInformationByHandle(reader.Get(), &now) || !SameFile(now, written) ||
      SizeOf(now) != size) {
    return platform::FileResult::kChanged;
  }
  (void)::UnlockFileEx(bridge.Get(), 0, MAXDWORD, MAXDWORD, &whole);
  held = reinterpret_cast<platform::HeldFile>(reader.Release());
  held_names_[held] = name;
  return platform::FileResult::kOk;
}

bool Win32FileSystem::StillHeld(platform::HeldFile held) {
  auto it = held_names_.find(held);
  if (it == held_names_.end()) return false;
  BY_HANDLE_FILE_INFORMATION ours{}, named{};
  // Access 0 reads attributes whatever the sharing of the open handles.
  UniqueHandle by_name(::CreateFileW(it->second.c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return by_name && ::GetFileInformationByHandle(H(held), &ours) &&
         ::GetFileInformationByHandle(by_name.Get(), &named) && SameFile(ours, named) &&
         SizeOf(ours) == SizeOf(named);
}

bool Win32FileSystem::Release(platform::HeldFile held) {
  if (held_names_.erase(held) == 0) return false;
  return ::CloseHandle(H(held)) != FALSE;
}

platform::FileResult Win32FileSystem::WriteAt(platform::FileHandle file, std::uint64_t offset,
                                              const char* data, std::size_t size) {
  if (file == 0) return platform::FileResult::kFailed;
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(H(file), position, nullptr, FILE_BEGIN)) return LastFailure();
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(H(file), data, chunk, &written, nullptr)) return LastFailure();
    if (written == 0) return platform::FileResult::kFailed;
    data += written;
    size -= written;
  }
  return platform::FileResult::kOk;
}

bool Win32FileSystem::FreeSpace(const std::string& folder, std::uint64_t& bytes) {
  bytes = 0;
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(Widen(folder).c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

bool Win32FileSystem::Close(platform::FileHandle file) {
  return file != 0 && ::CloseHandle(H(file)) != FALSE;
}

bool Win32FileSystem::ReadAllBytes(const std::string& path, std::size_t max_bytes,
                                   std::string& bytes) {
  bytes.clear();
  UniqueHandle file(::CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char buffer[4096];
  for (;;) {
    // Never more than one byte past the limit: enough to tell that the file is larger.
    // (bytes.size() <= max_bytes here.)
    const std::size_t left = max_bytes - bytes.size();
    const DWORD want = left < sizeof buffer ? static_cast<DWORD>(left + 1) : sizeof buffer;
    DWORD got = 0;
    if (!::ReadFile(file.Get(), buffer, want, &got, nullptr)) {
      bytes.clear();
      return false;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
    if (bytes.size() > max_bytes) {
      bytes.clear();
      return false;
    }
  }
  return true;
}

std::string Win32FileSystem::TextFromBytes(const std::string& bytes) {
  return platform::DecodeText(bytes, [](const std::string& ansi) { return FromAnsi(ansi); });
}

bool Win32FileSystem::FileSize(const std::string& path, std::uint64_t& bytes) {
  bytes = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  bytes = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

std::string Win32FileSystem::ProgramFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::wstring folder(buffer.begin(), buffer.end());
  const std::size_t slash = folder.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  folder.resize(slash);
  if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
  return Narrow(folder);
}

}  // namespace kvt::win32
