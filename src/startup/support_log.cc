#include "startup/support_log.h"

#include <algorithm>

namespace kvt {
namespace {

constexpr char kLogName[] = "KVT_SETUP.log";
constexpr char kPreviousName[] = "KVT_SETUP.1.log";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr char kCut[] = "[earlier lines left out: the log is kept under 1 MiB]\r\n";

std::string TwoDigits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

std::string ClockText(const platform::LocalTime& t) {
  const std::string ms = std::to_string(t.millisecond);
  return TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second) + "." +
         std::string(3 - std::min<std::size_t>(ms.size(), 3), '0') + ms;
}

std::string DateText(const platform::LocalTime& t) {
  return std::to_string(t.year) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day);
}

// A text from outside as one bounded line: control characters (a CR LF would forge a line of
// its own) are written as \xNN, credentials are dropped, and a long text is cut.
std::string Field(const std::string& raw) {
  const std::string text = WithoutCredentials(raw);
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < SupportLog::kMaxField; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > SupportLog::kMaxField) out += "...";
  return out;
}

const char* VerdictText(Mupdate::Verdict verdict) {
  switch (verdict) {
    case Mupdate::Verdict::kMatches:
      return "hash: matches the signed size and SHA-256";
    case Mupdate::Verdict::kDiffers:
      return "hash: DIFFERS from what the vendor signed";
    default:
      return "hash: not checked";
  }
}

}  // namespace

std::string WithoutCredentials(const std::string& text) {
  std::string out;
  std::size_t done = 0;  // out holds text[0, done) with credentials dropped
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
    // The user information runs back from "@" to the start of the address: after "://", or,
    // for a proxy written without a scheme, after a space, "=", ";" or the start of the text.
    // An "@" after any other "/" is in a path and stays.
    const std::size_t stop = text.find_last_of("/ =;\t", at);
    const bool after_scheme = stop != std::string::npos && text[stop] == '/' && stop >= 2 &&
                              text.compare(stop - 2, 3, "://") == 0;
    if (stop != std::string::npos && text[stop] == '/' && !after_scheme) continue;
    const std::size_t begin = stop == std::string::npos ? 0 : stop + 1;
    if (begin < done) {  // a second "@" in the same user information: it goes too
      done = at + 1;
      continue;
    }
    out.append(text, done, begin - done);
    done = at + 1;
  }
  return out + text.substr(done);
}

SupportLog::SupportLog(platform::LogStore* store, const std::string& build) : store_(store) {
  if (store_ == nullptr) return;
  const std::string folder = store_->Folder();
  if (folder.empty()) {
    store_ = nullptr;
    return;
  }
  path_ = folder + kLogName;
  (void)store_->Replace(path_, folder + kPreviousName);
  const platform::LocalTime now = store_->Now();
  head_ = std::string(kByteOrderMark) + "KVT记账宝 online installer " + build + "\r\n" +
          "System: " + Field(store_->SystemDescription()) + "\r\n" + "Started " + DateText(now) +
          " " + ClockText(now) + " (local time)\r\n";
  if (!store_->Write(path_, head_)) {
    store_ = nullptr;
    path_.clear();
    return;
  }
  written_ = head_;
}

SupportLog::~SupportLog() { Flush(); }

void SupportLog::Line(const std::string& text, bool important) {
  if (store_ == nullptr) return;
  pending_ += ClockText(store_->Now()) + " " + text + "\r\n";
  if (important || pending_.size() >= kBufferSize) Flush();
}

void SupportLog::Flush() {
  if (store_ == nullptr || pending_.empty()) return;
  bool ok = true;
  if (written_.size() + pending_.size() <= kCap) {
    ok = store_->Append(path_, pending_);
    if (ok) written_ += pending_;
  } else {
    // Cut to three quarters of the cap, so that the next cut is far off: the head, a line that
    // says so, and the newest whole lines.
    const std::string all = written_.substr(head_.size()) + pending_;
    const std::size_t room = kCap * 3 / 4 - head_.size() - (sizeof kCut - 1);
    std::size_t from = all.size() > room ? all.size() - room : 0;
    if (from > 0) {
      const std::size_t line = all.find("\r\n", from - 1);
      from = line == std::string::npos ? all.size() : line + 2;
    }
    std::string kept = head_ + kCut + all.substr(from);
    ok = store_->Write(path_, kept);
    if (ok) written_ = std::move(kept);
  }
  pending_.clear();
  // A log that cannot be written is given up: collecting on would only fill the memory.
  if (!ok) store_ = nullptr;
}

void SupportLog::EndOfRun(const std::string& how) {
  if (ended_) return;
  ended_ = true;
  Line("End of run: " + how, true);
}

void SupportLog::RequestBegins(const std::string& url, const std::string& route) {
  progress_tenth_ = -1;
  Line("Request GET " + Field(url) + " (" + Field(route) + ")", false);
}

void SupportLog::ResponseHead(const std::string& status, std::int64_t announced) {
  Line("Response status " + Field(status.empty() ? "(none)" : status) + ", length " +
           (announced < 0 ? std::string("not announced or not valid")
                          : std::to_string(announced) + " bytes"),
       false);
}

void SupportLog::Progress(const std::string& captionPrefix, std::int64_t received,
                          std::int64_t total) {
  // A line at every tenth of the body: enough to see where a transfer stalled.
  if (total <= 0) return;
  const std::int64_t tenth = received / std::max<std::int64_t>(total / 10, 1);
  if (tenth == progress_tenth_) return;
  progress_tenth_ = tenth;
  Line("Progress " + std::to_string(received) + " of " + std::to_string(total) + " bytes", false);
}

void SupportLog::TransferEnds(const std::string& url, std::int64_t received, bool ok,
                              const std::string& reason, Mupdate::Verdict verdict) {
  Line(std::string(ok ? "Done " : "FAILED ") + Field(url) + ": " + std::to_string(received) +
           " bytes" + (ok ? "" : ", " + Field(reason)) + "; " + VerdictText(verdict),
       !ok);
}

void SupportLog::FileFailed(const std::string& operation, const std::string& path,
                            const std::string& result) {
  Line(
      "File operation failed: " + Field(operation) + " " + Field(path) + " (" + Field(result) + ")",
      true);
}

void SupportLog::ExtractorStarts(const std::string& commandLine, bool started) {
  Line(std::string(started ? "Extractor started: " : "Extractor could NOT be started: ") +
           Field(commandLine),
       !started);
}

void SupportLog::ExtractorEnds(bool known, std::uint32_t code, double seconds) {
  const std::int64_t ms = static_cast<std::int64_t>(seconds * 1000.0 + 0.5);
  Line((known ? "Extractor exited with code " + std::to_string(code)
              : std::string("Extractor's end could not be told")) +
           " after " + std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s",
       true);
}

void SupportLog::MessageShown(const std::string& title, const std::string& text, int answer) {
  Line("Message box \"" + Field(title) + "\": \"" + Field(text) + "\" (answer " +
           std::to_string(answer) + ")",
       true);
}

void SupportLog::Note(const std::string& text) { Line(Field(text), false); }

}  // namespace kvt
