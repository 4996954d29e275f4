// Design values of the installer window: every control with its text, place, size, colours,
// font, initial state and tab index. Positions are in twips (1/1440 inch) from the top-left
// corner of the containing page (pages: of the client area). Pure data: the core, the real
// window and the end-to-end driver all read this one table.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "window/control_ids.h"

namespace kvt::layout {

enum class Kind { kFrame, kLabel, kTextBox, kCheckBox, kButton, kLine };

struct Rgb {
  std::uint8_t r, g, b;
};

inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kButtonFace{248, 248, 248};
inline constexpr Rgb kCheckText{0, 192, 192};
inline constexpr Rgb kSilver{192, 192, 192};

inline constexpr std::string_view kWindowTitle = "KVT在线安装程序";
inline constexpr std::string_view kWindowFont = "宋体";
inline constexpr double kWindowFontPt = 9;
inline constexpr std::string_view kYaHei = "微软雅黑";
// Outer size of the window, title bar and border included.
inline constexpr int kOuterWidth = 7590;
inline constexpr int kOuterHeight = 6000;
inline constexpr int kPageWidth = 7635;
inline constexpr int kPageHeight = 5535;

struct Control {
  ControlId id;
  std::string_view name;
  Kind kind;
  ControlId page;  // kNoControl for the pages themselves
  std::string_view text;
  // Left, top, width, height; for lines: x1, y1, x2, y2.
  int left, top, width, height;
  std::string_view font;  // empty: the window font
  double font_pt;         // 0: the window font's size
  Rgb fore;
  Rgb back;
  bool opaque;   // labels: draws its background (only the progress fill does)
  bool centred;  // labels: text centred
  bool visible;  // initial state
  bool enabled;
  int value;      // check boxes: 0 not ticked, 1 ticked
  int tab_index;  // -1: the control takes no focus and has no tab index
};

// In the order of the window's design; pages come first in stacking order front to back:
// Frame3, FrameW, Frame1, Frame2.
inline constexpr std::array<Control, 25> kControls{{
    // Pages.
    {kFrame3, "Frame3", Kind::kFrame, kNoControl, "", 0, 0, kPageWidth, kPageHeight, "", 0, kBlack, kWhite, true, false, false, true, 0, 17},
    {kFrameW, "FrameW", Kind::kFrame, kNoControl, "", 0, 0, kPageWidth, kPageHeight, "", 0, kBlack, kWhite, true, false, false, true, 0, 15},
    {kFrame1, "Frame1", Kind::kFrame, kNoControl, "", 0, 0, kPageWidth, kPageHeight, "", 0, kBlack, kWhite, true, false, true, true, 0, 0},
    {kFrame2, "Frame2", Kind::kFrame, kNoControl, "", 0, 0, kPageWidth, kPageHeight, "", 0, kBlack, kWhite, true, false, false, true, 0, 10},
    // Agreement page.
    {kLabel1, "Label1", Kind::kLabel, kFrame1, "请阅读KVTsoft软件产品许可协议", 240, 360, 7095, 615, kYaHei, 15, kBlack, kWhite, false, false, true, true, 0, 8},
    {kLabel2, "Label2", Kind::kLabel, kFrame1, "若要继续，您必须接受此协议的所有条款，否则，请关闭本窗口。", 240, 840, 7095, 495, kYaHei, 10.5, kBlack, kWhite, false, false, true, true, 0, 9},
    {kTxy, "Txy", Kind::kTextBox, kFrame1, "", 240, 1200, 7000, 3495, kYaHei, 9, {64, 64, 64}, kWhite, true, false, true, true, 0, 5},
    {kCk, "Ck", Kind::kCheckBox, kFrame1, "我接受此协议的所有条款", 240, 4860, 2415, 495, "", 0, kCheckText, kWhite, true, false, true, true, 0, 6},
    {kCcontinue, "Ccontinue", Kind::kButton, kFrame1, "继续(&C)..", 5760, 4860, 1485, 480, "", 0, kBlack, kButtonFace, true, false, true, false, 0, 7},
    // Waiting overlay.
    {kLabel3, "Label3", Kind::kLabel, kFrameW, "正在连接KVT服务器，请稍等...", 180, 2400, 7095, 615, kYaHei, 15, kBlack, kWhite, false, true, true, true, 0, 16},
    // Install-path page.
    {kLt, "Lt", Kind::kLabel, kFrame2, "本程序将为您在线安装\r\nKVT...", 360, 480, 6855, 2175, kYaHei, 18, kBlack, kWhite, false, false, true, true, 0, 12},
    {kLpath, "Lpath", Kind::kLabel, kFrame2, "安装路径：", 360, 3360, 1455, 255, kWindowFont, 10.5, kBlack, kWhite, false, false, true, true, 0, 11},
    // Tpath has the default window background: the system's window colour, not kWhite.
    {kTpath, "Tpath", Kind::kTextBox, kFrame2, "", 360, 3660, 5655, 375, "", 0, {128, 128, 128}, kWhite, false, false, true, true, 0, 1},
    {kCfolder, "Cfolder", Kind::kButton, kFrame2, "更改(&B)..", 6000, 3660, 1125, 360, "", 0, kBlack, kButtonFace, true, false, true, true, 0, 2},
    {kLb, "Lb", Kind::kLabel, kFrame2, "", 360, 4260, 6765, 315, kYaHei, 10.5, {255, 128, 0}, kWhite, false, true, false, true, 0, 13},
    {kLw, "Lw", Kind::kLabel, kFrame2, "", 360, 4580, 6765, 45, "", 0, kBlack, {0, 192, 0}, true, false, false, true, 0, 14},
    {kLine1, "Line1", Kind::kLine, kFrame2, "", 360, 4620, 7125, 4620, "", 0, kSilver, kWhite, false, false, true, true, 0, -1},
    {kCyes, "Cyes", Kind::kButton, kFrame2, "开始安装(&S)..", 2040, 4860, 1605, 480, "", 0, kBlack, kButtonFace, true, false, true, true, 0, 3},
    {kCno, "Cno", Kind::kButton, kFrame2, "取消(&C)", 3840, 4860, 1605, 480, "", 0, kBlack, kButtonFace, true, false, true, true, 0, 4},
    // Finish page.
    {kLabel4, "Label4", Kind::kLabel, kFrame3, "安装完成", 360, 480, 6855, 615, kYaHei, 18, kBlack, kWhite, false, false, true, true, 0, 19},
    {kLfinish, "Lfinish", Kind::kLabel, kFrame3, "KVT已经成功的安装到您的计算机。", 360, 1080, 6855, 495, kYaHei, 10.5, kBlack, kWhite, false, false, true, true, 0, 21},
    {kLabel5, "Label5", Kind::kLabel, kFrame3, "您可以通过KVT桌面快捷方式图标打开软件。", 360, 1560, 6855, 495, kYaHei, 10.5, kBlack, kWhite, false, false, true, true, 0, 22},
    {kCrun, "Crun", Kind::kCheckBox, kFrame3, "运行KVT...", 420, 4080, 6795, 435, "", 0, kCheckText, kWhite, true, false, true, true, 1, 20},
    {kLine2, "Line2", Kind::kLine, kFrame3, "", 0, 4620, 8000, 4620, "", 0, kSilver, kWhite, false, false, true, true, 0, -1},
    {kCend, "Cend", Kind::kButton, kFrame3, "完成(&D)", 5760, 4860, 1485, 480, "", 0, kBlack, kButtonFace, true, false, true, true, 0, 18},
}};

// The design entry of `id`; the table holds every ControlId exactly once. On the path page the
// fill Lw is drawn in front of the track Line1.
constexpr const Control* Find(ControlId id) {
  for (const Control& c : kControls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

}  // namespace kvt::layout
