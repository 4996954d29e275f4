#include "platform/win32/win32_adapters.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {

// Owns an item id list from the shell allocator.
class UniquePidl {
 public:
  UniquePidl() = default;
  UniquePidl(const UniquePidl&) = delete;
  UniquePidl& operator=(const UniquePidl&) = delete;
  ~UniquePidl() { ::CoTaskMemFree(pidl_); }
  PIDLIST_ABSOLUTE Get() const { return pidl_; }
  PIDLIST_ABSOLUTE* Put() {
    Reset(nullptr);
    return &pidl_;
  }
  void Reset(PIDLIST_ABSOLUTE pidl) {
    ::CoTaskMemFree(pidl_);
    pidl_ = pidl;
  }

 private:
  PIDLIST_ABSOLUTE pidl_ = nullptr;
};

std::wstring TakeCoTaskString(PWSTR text) {
  std::wstring out = text != nullptr ? text : L"";
  ::CoTaskMemFree(text);
  return out;
}

// The item's path as the shell's folder item reports it: the file-system path (a drive root
// keeps its backslash), or the parsing name for an item outside the file system.
std::wstring ItemPath(PCIDLIST_ABSOLUTE pidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (::SHGetPathFromIDListW(pidl, buffer)) return buffer;
  PWSTR name = nullptr;
  if (SUCCEEDED(::SHGetNameFromIDList(pidl, SIGDN_DESKTOPABSOLUTEPARSING, &name))) {
    return TakeCoTaskString(name);
  }
  return {};
}

// Notes that the dialog came up, so that a NULL answer can be told apart from a dialog that
// could not be shown.
int CALLBACK OnBrowseEvent(HWND, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) *reinterpret_cast<bool*>(data) = true;
  return 0;
}

}  // namespace

platform::PickResult Win32Shell::BrowseForFolder(const std::string& title, int options, int root,
                                                 std::string& path) {
  ComApartment apartment;
  if (!apartment.Usable()) return platform::PickResult::kFailed;
  UniquePidl root_pidl;
  // The shell's special-folder numbers are the CSIDL values (17 = the computer's drives).
  if (FAILED(::SHGetFolderLocation(nullptr, root, nullptr, 0, root_pidl.Put()))) {
    return platform::PickResult::kFailed;
  }
  const std::wstring wide_title = Widen(title);
  BROWSEINFOW info{};
  info.hwndOwner = nullptr;
  info.pidlRoot = root_pidl.Get();
  info.lpszTitle = wide_title.c_str();
  info.ulFlags = static_cast<UINT>(options);
  bool shown = false;
  info.lpfn = OnBrowseEvent;
  info.lParam = reinterpret_cast<LPARAM>(&shown);
  UniquePidl chosen;
  chosen.Reset(::SHBrowseForFolderW(&info));
  if (chosen.Get() == nullptr) {
    return shown ? platform::PickResult::kCancelled : platform::PickResult::kFailed;
  }
  path = Narrow(ItemPath(chosen.Get()));
  return platform::PickResult::kChosen;
}

bool Win32Shell::DesktopFolder(std::string& path) {
  PWSTR folder = nullptr;
  const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &folder);
  std::wstring wide = TakeCoTaskString(folder);
  if (FAILED(hr) || wide.empty()) return false;
  if (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
  path = Narrow(wide);
  return true;
}

bool Win32Shell::SaveShortcut(const std::string& link_path, const std::string& target) {
  ComApartment apartment;
  if (!apartment.Usable()) return false;
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.PutVoid()))) {
    return false;
  }
  if (FAILED(link->SetPath(Widen(target).c_str()))) return false;
  ComPtr<IPersistFile> file;
  if (FAILED(link.As(file))) return false;
  return SUCCEEDED(file->Save(Widen(link_path).c_str(), TRUE));
}

}  // namespace kvt::win32
