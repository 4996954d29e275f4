// HTTP download of one URL into one local file, with progress shown in the window.
#pragma once

#include <cstdint>
#include <string>

#include "platform/internet.h"

namespace kvt::Mupdate {

// Byte counters of the current (or last) transfer.
extern std::int64_t ReceivedBytes;
extern std::int64_t TotalBytes;

// Downloads `url` (http://host/path, always port 80) into `localPath` through the partial file
// `localPath` + ".temp". Returns -1 when the whole announced body is stored at `localPath`, 0
// otherwise. Leaves the pending error holding the last local failure it skipped.
std::int16_t DownloadFile(const std::string& url, const std::string& localPath,
                          const std::string& captionPrefix);

// Host name: the text after the first "http://" up to the next "/"; empty without "http://".
std::string GetHostFromUrl(const std::string& url);
// Request path: the text after the first occurrence of `host` in `url`.
std::string GetPathFromUrl(const std::string& url, const std::string& host);
// One response item as text (through `text`); the function result is left empty.
std::string QueryHttpInfo(platform::InetHandle request, std::uint32_t infoLevel,
                          std::string& text);
// Short size text: "1023B", "2KB", "1.50M".
std::string FormatSize(std::int64_t n);

}  // namespace kvt::Mupdate
