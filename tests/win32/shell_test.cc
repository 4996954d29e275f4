#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <commctrl.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"
#include "tests/win32/test_support.h"

namespace kvt::win32 {
namespace {

constexpr char kTitle[] = "请选择安装路径：";
constexpr int kTreeId = 0x3741;

// The target stored in a shortcut file, read back through the shell's own link object.
std::wstring ShortcutTarget(const std::string& link_path) {
  ComApartment apartment;
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.PutVoid())) ||
      FAILED(link.As(file)) || FAILED(file->Load(Widen(link_path).c_str(), STGM_READ))) {
    return L"<unreadable>";
  }
  wchar_t target[MAX_PATH] = {};
  if (FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))) return L"<no path>";
  return target;
}

TEST(ShellTest, SavesAShortcutWithTheChineseTargetUnchanged) {
  if (!testing::ChineseCodePage()) GTEST_SKIP() << "needs code page 936 (zh_CN locale)";
  testing::ScratchFolder dir;
  Win32Shell shell;
  const std::string link = dir.Join("KVT记账宝.lnk");
  ASSERT_TRUE(shell.SaveShortcut(link, "D:\\KVT记账宝\\KVT.exe"));
  EXPECT_EQ(ShortcutTarget(link), L"D:\\KVT记账宝\\KVT.exe");
  // A second install writes the same file again, pointing at the new folder.
  ASSERT_TRUE(shell.SaveShortcut(link, "E:\\Apps\\KVT.exe"));
  EXPECT_EQ(ShortcutTarget(link), L"E:\\Apps\\KVT.exe");
  EXPECT_FALSE(testing::PathExists(dir.Join("KVT记账宝 (2).lnk")));
}

TEST(ShellTest, ShortcutIntoAMissingFolderFails) {
  testing::ScratchFolder dir;
  Win32Shell shell;
  const std::string link = dir.Join("缺少\\KVT记账宝.lnk");
  EXPECT_FALSE(shell.SaveShortcut(link, "D:\\KVT记账宝\\KVT.exe"));
  EXPECT_FALSE(testing::PathExists(link));
}

TEST(ShellTest, DesktopFolderIsAnExistingFolderWithoutTrailingBackslash) {
  Win32Shell shell;
  std::string desktop;
  ASSERT_TRUE(shell.DesktopFolder(desktop));
  ASSERT_FALSE(desktop.empty());
  EXPECT_NE(desktop.back(), '\\');
  Win32FileSystem files;
  bool ok = false;
  EXPECT_TRUE(files.DirectoryExists(desktop, ok));
}

// Plays the user of the folder picker from a second thread: waits for the picker of this
// process, checks it, then selects `select` (or nothing) and presses OK or Cancel.
class PickerDriver {
 public:
  PickerDriver(std::wstring select, int button)
      : select_(std::move(select)), button_(button), thread_([this] { Run(); }) {}
  ~PickerDriver() { thread_.join(); }

  std::atomic<bool> found{false};
  std::atomic<bool> owned{true};
  std::atomic<bool> title_shown{false};

 private:
  static BOOL CALLBACK FindPicker(HWND window, LPARAM data) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t cls[64] = {};
    ::GetClassNameW(window, cls, 64);
    if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(window) &&
        std::wstring(cls) == L"#32770" && ::GetDlgItem(window, kTreeId) != nullptr) {
      *reinterpret_cast<HWND*>(data) = window;
      return FALSE;
    }
    return TRUE;
  }

  static BOOL CALLBACK FindTitle(HWND child, LPARAM data) {
    wchar_t text[256] = {};
    ::GetWindowTextW(child, text, 256);
    if (Widen(kTitle) == text) *reinterpret_cast<bool*>(data) = true;
    return TRUE;
  }

  void Run() {
    HWND picker = nullptr;
    for (int i = 0; i < 200 && picker == nullptr; ++i) {
      ::Sleep(50);
      ::EnumWindows(FindPicker, reinterpret_cast<LPARAM>(&picker));
    }
    if (picker == nullptr) return;  // the picker never came: BrowseForFolder must not hang
    found = true;
    owned = ::GetWindow(picker, GW_OWNER) != nullptr;
    bool title = false;
    ::EnumChildWindows(picker, FindTitle, reinterpret_cast<LPARAM>(&title));
    title_shown = title;
    // The dialog fills its tree after it appears; a selection sent before that is lost, and OK
    // would then answer with the dialog's own default folder.
    HWND tree = ::GetDlgItem(picker, kTreeId);
    auto send = [tree](UINT msg, WPARAM wp, LPARAM lp) {
      DWORD_PTR result = 0;
      ::SendMessageTimeoutW(tree, msg, wp, lp, SMTO_NORMAL, 5000, &result);
      return result;
    };
    for (int i = 0; i < 200 && send(TVM_GETCOUNT, 0, 0) == 0; ++i) ::Sleep(50);
    if (!select_.empty()) {
      const DWORD_PTR initial = send(TVM_GETNEXTITEM, TVGN_CARET, 0);
      for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE,
                              reinterpret_cast<LPARAM>(select_.c_str()), SMTO_NORMAL, 10000,
                              &result);
        bool moved = false;
        for (int i = 0; i < 20 && !moved; ++i) {
          ::Sleep(50);
          moved = send(TVM_GETNEXTITEM, TVGN_CARET, 0) != initial;
        }
        if (moved) break;
      }
    }
    ::PostMessageW(::GetDlgItem(picker, button_), BM_CLICK, 0, 0);
  }

  std::wstring select_;
  int button_;
  std::thread thread_;
};

struct PickCase {
  std::string select;  // empty: the tree's own selection
  int button;
  platform::PickResult result;
  std::string path;  // expected on kChosen
};

TEST(ShellTest, FolderPickerChoosesOrCancels) {
  testing::ScratchFolder dir;
  const std::string chinese = dir.Join("KVT记账宝");
  ASSERT_TRUE(::CreateDirectoryW(Widen(chinese).c_str(), nullptr));
  const PickCase cases[] = {
      {chinese, IDOK, platform::PickResult::kChosen, chinese},
      {"C:\\", IDOK, platform::PickResult::kChosen, "C:\\"},  // a root keeps its backslash
      {"C:\\windows\\system32\\", IDOK, platform::PickResult::kChosen, "C:\\windows\\system32"},
      {chinese, IDCANCEL, platform::PickResult::kCancelled, ""},
  };
  Win32Shell shell;
  for (const PickCase& c : cases) {
    std::string path = "unchanged";
    platform::PickResult result;
    {
      PickerDriver driver(Widen(c.select), c.button);
      result = shell.BrowseForFolder(kTitle, platform::kBifEditBox, platform::kSsfDrives, path);
      ASSERT_TRUE(driver.found) << c.select;
      EXPECT_FALSE(driver.owned) << "the picker has no owner window";
      EXPECT_TRUE(driver.title_shown) << "title not shown in the picker";
    }
    EXPECT_EQ(result, c.result) << c.select;
    if (c.result == platform::PickResult::kChosen) {
      EXPECT_EQ(::lstrcmpiW(Widen(path).c_str(), Widen(c.path).c_str()), 0)
          << path << " != " << c.path;
    } else {
      EXPECT_EQ(path, "unchanged");
    }
  }
}

}  // namespace
}  // namespace kvt::win32
