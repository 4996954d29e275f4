// What the installer window is in the middle of. Handlers run nested inside waits (a download
// processes window events, so does the extractor wait, the folder picker's own loop and every
// message box), so a button, a close request or a log-off can arrive while other work runs.
// Every handler that can start work or end the program asks this one record first.
#pragma once

namespace kvt {

enum class Activity : unsigned {
  kFetching = 1u << 0,     // Continue: the release manifest is being fetched
  kPicking = 1u << 1,      // the folder picker is open
  kInstalling = 1u << 2,   // Start's handler runs (checks, downloads, extractor, shortcut)
  kDownloading = 1u << 3,  // the two downloads are under way
  kExtracting = 1u << 4,   // the extractor runs and is waited for
  kAsking = 1u << 5,       // the question whether to abandon the install is open
};

class BusyState {
 public:
  // Nothing is in progress: a new piece of work may start.
  bool Idle() const { return bits_ == 0; }
  bool Is(Activity a) const { return (bits_ & static_cast<unsigned>(a)) != 0; }
  // The downloads or the extractor are under way: a log-off would cut them off. (The checks
  // before them and the shortcut after them are part of an install, but not of this.)
  bool DownloadingOrExtracting() const {
    return Is(Activity::kDownloading) || Is(Activity::kExtracting);
  }

  void Begin(Activity a) { bits_ |= static_cast<unsigned>(a); }
  void End(Activity a) { bits_ &= ~static_cast<unsigned>(a); }

  // Marks `a` for the lifetime of the scope (also when the program ends by unwinding).
  class Scope {
   public:
    Scope(BusyState& state, Activity a) : state_(state), a_(a) { state_.Begin(a_); }
    ~Scope() { state_.End(a_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    BusyState& state_;
    Activity a_;
  };

 private:
  unsigned bits_ = 0;
};

}  // namespace kvt
