// Files and folders. Every path is a Windows path in UTF-8 ("D:\KVT记账宝\\UnRAR.exe"); adapters
// pass Chinese characters through unchanged. Operations return false on failure and never throw.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// An open file; 0 means none.
using FileHandle = std::uintptr_t;

// How a change to a file went. Callers treat a file held by another process (a virus scanner
// reading a new file, say) differently from a full volume and from every other failure.
enum class FileResult {
  kOk,
  kHeld,      // another process has the file open in a way that forbids it (sharing, access)
  kDiskFull,  // the volume has no room left
  kFailed,    // any other failure
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Directory listing of one name without attribute flags: true when an ordinary file of
  // exactly that name exists. `ok` is false when the listing itself failed.
  virtual bool FileExists(const std::string& path, bool& ok) = 0;
  // Directory listing with the directory attribute: true when `path` names an existing
  // directory (a bare drive designator such as "D:" names the drive's root).
  virtual bool DirectoryExists(const std::string& path, bool& ok) = 0;
  // Creates one directory level.
  virtual bool CreateDirectory(const std::string& path) = 0;
  virtual FileResult DeleteFile(const std::string& path) = 0;
  // Fails when `to` exists already, as MoveFile does.
  virtual FileResult RenameFile(const std::string& from, const std::string& to) = 0;
  // Creates (or truncates) the file and opens it for raw writes; 0 on failure.
  virtual FileHandle CreateForWrite(const std::string& path) = 0;
  // Writes `size` bytes at byte `offset` from the start of the file.
  virtual FileResult WriteAt(FileHandle file, std::uint64_t offset, const char* data,
                             std::size_t size) = 0;
  // Bytes the caller may still write on the volume that holds the folder `folder`.
  virtual bool FreeSpace(const std::string& folder, std::uint64_t& bytes) = 0;
  virtual bool Close(FileHandle file) = 0;
  // Reads the whole file as text, returned as UTF-8: UTF-8 when it says so or is valid UTF-8
  // beyond ASCII, else in the system's ANSI code page (platform/text_decoding.h).
  virtual bool ReadAllText(const std::string& path, std::string& text) = 0;
  // Reads the whole file's bytes as they are (what a signature covers).
  virtual bool ReadAllBytes(const std::string& path, std::string& bytes) = 0;
  // Folder of the running program: no trailing backslash, except at a drive root.
  virtual std::string ProgramFolder() = 0;
  // The system's error code of the last call that failed (for the support log); 0 when unknown.
  virtual std::uint32_t LastErrorCode() { return 0; }
};

}  // namespace kvt::platform
