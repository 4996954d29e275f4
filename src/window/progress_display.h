// The window's progress display: the labels Lb and Lw as one receiver of a transfer's events.
// Every report is passed on to the next receiver (the support log).
#pragma once

#include <cstdint>
#include <string>

#include "net/events.h"

namespace kvt {

class Control;

class ProgressDisplay : public Mupdate::EventRelay {
 public:
  ProgressDisplay(Control& caption, Control& bar) : caption_(caption), bar_(bar) {}

  // Without a caption prefix the caption says "正在下载安装文件..." and the bar is empty; with
  // one it shows "<prefix><received>/<total>    <percent>%" and the bar fills the caption's
  // width in proportion. Without an announced length the display keeps its state.
  void Progress(const std::string& captionPrefix, std::int64_t received,
                std::int64_t total) override;

 private:
  Control& caption_;
  Control& bar_;
};

}  // namespace kvt
