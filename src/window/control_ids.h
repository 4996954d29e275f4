// Stable identifiers of the installer window's controls. The real window uses them as child
// window IDs, and the end-to-end driver finds the controls by them.
#pragma once

namespace kvt {

enum ControlId : int {
  kNoControl = 0,
  // Pages.
  kFrame1 = 1001,
  kFrameW = 1002,
  kFrame2 = 1003,
  kFrame3 = 1004,
  // Agreement page.
  kLabel1 = 1101,
  kLabel2 = 1102,
  kTxy = 1103,
  kCk = 1104,
  kCcontinue = 1105,
  // Waiting overlay.
  kLabel3 = 1201,
  // Install-path page.
  kLt = 1301,
  kLpath = 1302,
  kTpath = 1303,
  kCfolder = 1304,
  kLb = 1305,
  kLw = 1306,
  kLine1 = 1307,
  kCyes = 1308,
  kCno = 1309,
  // Finish page.
  kLabel4 = 1401,
  kLfinish = 1402,
  kLabel5 = 1403,
  kCrun = 1404,
  kLine2 = 1405,
  kCend = 1406,
};

}  // namespace kvt
