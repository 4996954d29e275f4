// Every text the installer shows or writes, each written once.
#pragma once

namespace kvt::text {

inline constexpr char kProductName[] = "KVT记账宝";
inline constexpr char kCrLf[] = "\r\n";

// Titles of message boxes.
inline constexpr char kTitleNotice[] = "提示";
inline constexpr char kTitleError[] = "错误";

inline constexpr char kAlreadyRunning[] = "KVT在线安装程序已经运行！";
inline constexpr char kCannotConnect[] = "无法连接到服务器！";
inline constexpr char kExcelRunning[] =
    "KVT在线安装程序检测到Excel正在运行！\r\n\r\n如果您已经打开Excel表格，请关闭后再尝试安装...";
inline constexpr char kDrivePrefix[] = "磁盘";
inline constexpr char kDriveSuffix[] = "不存在！\r\n请重新选择安装路径。";
inline constexpr char kInstallFailed[] = "在线安装过程发生错误！\r\n请重试！";
inline constexpr char kConfirmAbandon[] = "确定要放弃安装吗？";
inline constexpr char kPickerTitle[] = "请选择安装路径：";
inline constexpr char kPickerFailed[] = "无法打开文件夹选择窗口！";
inline constexpr char kCannotStartPrefix[] = "无法启动程序：";
inline constexpr char kTampered[] = "安装文件校验失败，文件可能已被篡改！\r\n请检查网络环境后重试。";
inline constexpr char kDiskFull[] = "磁盘空间不足！\r\n请清理磁盘或选择其他安装路径。";
// The reason shown by Windows when a log-off or shut-down waits for a running install.
inline constexpr char kShutdownReason[] = "正在安装KVT记账宝，请稍候...";

// Path-page heading.
inline constexpr char kHeadingIntro[] = "本程序将为您在线安装";
inline constexpr char kHeadingVersion[] = "版本：";

// Progress and status.
inline constexpr char kConnecting[] = "正在连接KVT服务器...";
inline constexpr char kDownloading[] = "正在下载安装文件...";
inline constexpr char kDownloadPrefix[] = "正在下载安装文件： ";
inline constexpr char kInstalling[] = "正在安装(请不要关闭本窗口)...";
inline constexpr char kInstallDone[] = "安装完成！";

// Finish page.
inline constexpr char kFinishedSuffix[] = "  已经成功的安装到您的计算机。";
inline constexpr char kRunPrefix[] = "运行  ";

// Files.
inline constexpr char kDefaultDrive[] = "D:\\";
inline constexpr char kExtractorFile[] = "\\UnRAR.exe";
inline constexpr char kArchiveFile[] = "\\KVT_SETUP.rar";
inline constexpr char kProductExe[] = "KVT.exe";
inline constexpr char kManifestPath[] = "/KVT_TRNQP_SETUP_LOG.txt";
inline constexpr char kManifestTempName[] = "KVT_SETUP_LOG.TEMP";
inline constexpr char kSignatureTempName[] = "KVT_SETUP_SIG.TEMP";
inline constexpr char kPartialSuffix[] = ".temp";
inline constexpr char kShortcutSuffix[] = ".lnk";
inline constexpr char kExcel[] = "excel.exe";

}  // namespace kvt::text
