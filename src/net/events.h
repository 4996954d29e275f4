// What a transfer and the install procedure report as they go. The caller gives a receiver; the
// window's progress display and the support log are two. Every report has an empty default, so a
// receiver takes only what it needs.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::Mupdate {

// What a finished transfer's hash check said.
enum class Verdict {
  kNotChecked,  // nothing was signed for this file, or the body never arrived whole
  kMatches,     // size and SHA-256 are what the vendor signed
  kDiffers,     // announced length, size or SHA-256 differ from what the vendor signed
};

class Events {
 public:
  virtual ~Events() = default;
  // A request begins: `route` says whether it goes directly or through a configured proxy.
  virtual void RequestBegins(const std::string& url, const std::string& route) {}
  // The response head arrived: its status text and the body length it announced (-1 for none,
  // or none that can be trusted).
  virtual void ResponseHead(const std::string& status, std::int64_t announced) {}
  // `received` of `total` bytes are stored; reported at the display's pace.
  virtual void Progress(const std::string& captionPrefix, std::int64_t received,
                        std::int64_t total) {}
  // The transfer is over: `ok` when the file is stored under its name; `reason` says why not.
  virtual void TransferEnds(const std::string& url, std::int64_t received, bool ok,
                            const std::string& reason, Verdict verdict) {}
  // A change to a file failed; `result` names how (held, disk full, failed).
  virtual void FileFailed(const std::string& operation, const std::string& path,
                          const std::string& result) {}
  virtual void ExtractorStarts(const std::string& commandLine, bool started) {}
  // The extractor ended after `seconds`; `known` false when its exit code could not be read.
  virtual void ExtractorEnds(bool known, std::uint32_t code, double seconds) {}
  // A message box the user saw, and the button that closed it.
  virtual void MessageShown(const std::string& title, const std::string& text, int answer) {}
  // A step of the run worth a line of its own (the manifest verified, the install complete).
  virtual void Note(const std::string& text) {}
};

// Passes every report on to `next` (when there is one); a receiver that adds to the chain
// overrides what it takes and calls the relay's version.
class EventRelay : public Events {
 public:
  explicit EventRelay(Events* next = nullptr) : next_(next) {}
  void SetNext(Events* next) { next_ = next; }
  void RequestBegins(const std::string& url, const std::string& route) override {
    if (next_) next_->RequestBegins(url, route);
  }
  void ResponseHead(const std::string& status, std::int64_t announced) override {
    if (next_) next_->ResponseHead(status, announced);
  }
  void Progress(const std::string& captionPrefix, std::int64_t received,
                std::int64_t total) override {
    if (next_) next_->Progress(captionPrefix, received, total);
  }
  void TransferEnds(const std::string& url, std::int64_t received, bool ok,
                    const std::string& reason, Verdict verdict) override {
    if (next_) next_->TransferEnds(url, received, ok, reason, verdict);
  }
  void FileFailed(const std::string& operation, const std::string& path,
                  const std::string& result) override {
    if (next_) next_->FileFailed(operation, path, result);
  }
  void ExtractorStarts(const std::string& commandLine, bool started) override {
    if (next_) next_->ExtractorStarts(commandLine, started);
  }
  void ExtractorEnds(bool known, std::uint32_t code, double seconds) override {
    if (next_) next_->ExtractorEnds(known, code, seconds);
  }
  void MessageShown(const std::string& title, const std::string& text, int answer) override {
    if (next_) next_->MessageShown(title, text, answer);
  }
  void Note(const std::string& text) override {
    if (next_) next_->Note(text);
  }

 private:
  Events* next_;
};

}  // namespace kvt::Mupdate
