#include "window/progress_display.h"

#include <algorithm>
#include <cmath>

#include "net/download.h"
#include "startup/texts.h"
#include "window/fd.h"

namespace kvt {
namespace {

std::string Percent(std::int64_t received, std::int64_t total) {
  const double percent = std::floor(static_cast<double>(received) * 100.0 / total + 0.5);
  // A whole number from 0 to 100 (no more is read than announced); the bound only keeps the
  // conversion defined.
  return std::to_string(static_cast<std::int64_t>(std::min(percent, 1e18))) + "%";
}

}  // namespace

void ProgressDisplay::Progress(const std::string& captionPrefix, std::int64_t received,
                               std::int64_t total) {
  EventRelay::Progress(captionPrefix, received, total);
  if (captionPrefix.empty()) {
    caption_.SetCaption(text::kDownloading);
    caption_.Refresh();
    bar_.SetWidth(0);
    bar_.Refresh();
    return;
  }
  if (total > 0) {
    caption_.SetCaption(captionPrefix + Mupdate::FormatSize(received) + "/" +
                        Mupdate::FormatSize(total) + "    " + Percent(received, total));
  }
  caption_.Refresh();
  if (total > 0) {
    const float width = static_cast<float>(caption_.Width()) * static_cast<float>(received) /
                        static_cast<float>(total);
    bar_.SetWidth(width);
  }
  bar_.Refresh();
}

}  // namespace kvt
