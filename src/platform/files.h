// Files and folders. Every path is a Windows path in UTF-8 ("D:\KVT记账宝\\UnRAR.exe"); adapters
// pass Chinese characters through unchanged. Operations return false on failure and never throw.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// An open file; 0 means none.
using FileHandle = std::uintptr_t;
// A downloaded file kept open so that no other process can change, replace, rename or delete it
// while the installer still relies on its bytes; 0 means none.
using HeldFile = std::uintptr_t;

// How a change to a file went. Callers treat a file held by another process (a virus scanner
// reading a new file, say) differently from a full volume and from every other failure.
enum class FileResult {
  kOk,
  kHeld,      // another process has the file open in a way that forbids it (sharing, access)
  kDiskFull,  // the volume has no room left
  kChanged,   // the file under the name is no longer the one that was written
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
  // Creates (or truncates) the file and opens it for raw writes; 0 on failure. Until the handle
  // is closed other processes may only read the file: none can write, rename or delete it.
  virtual FileHandle CreateForWrite(const std::string& path) = 0;
  // Deletes the file open in `file` (of CreateForWrite) through its handle, and closes it.
  virtual FileResult DeleteOpen(FileHandle file) = 0;
  // Gives the file open in `file` (of CreateForWrite), which must be `size` bytes long, the name
  // `to` (never replacing a file of that name) and keeps it held: from then on others may read
  // it and the loader may start it, but nothing can change, replace, rename or delete it until
  // Release. There is no moment in between at which another process could change what is under
  // the name unnoticed: a file that does not check out answers kChanged (or kHeld when another
  // process keeps it open for writing). Once renamed, `file` is closed and set to 0, whatever
  // the result; before that (a refusal of the rename) it stays open for another try.
  virtual FileResult HoldAs(FileHandle& file, const std::string& to, std::uint64_t size,
                            HeldFile& held) = 0;
  // True while the name of a held file still leads to that file, unchanged.
  virtual bool StillHeld(HeldFile held) = 0;
  // Lets go of a held file.
  virtual bool Release(HeldFile held) = 0;
  // Writes `size` bytes at byte `offset` from the start of the file.
  virtual FileResult WriteAt(FileHandle file, std::uint64_t offset, const char* data,
                             std::size_t size) = 0;
  // Bytes the caller may still write on the volume that holds the folder `folder`.
  virtual bool FreeSpace(const std::string& folder, std::uint64_t& bytes) = 0;
  virtual bool Close(FileHandle file) = 0;
  // Reads the whole file's bytes as they are (what a signature covers). False, with `bytes`
  // empty, for a file of more than `max_bytes`: no more than one byte past them is read.
  virtual bool ReadAllBytes(const std::string& path, std::size_t max_bytes, std::string& bytes) = 0;
  // Folder of the running program: no trailing backslash, except at a drive root.
  virtual std::string ProgramFolder() = 0;
  // A text file's bytes as text (UTF-8): UTF-8 when they say so or are valid UTF-8 beyond ASCII,
  // else read in the system's ANSI code page (platform/text_decoding.h).
  virtual std::string TextFromBytes(const std::string& bytes) = 0;
  // The size of the ordinary file at `path`; false when there is none or it cannot be told.
  virtual bool FileSize(const std::string& path, std::uint64_t& bytes) = 0;
  // The system's error code of the last call that failed (for the support log); 0 when unknown.
  virtual std::uint32_t LastErrorCode() { return 0; }
};

// Owns one held file and releases it when it goes out of scope (or at Reset).
class UniqueHeldFile {
 public:
  UniqueHeldFile() = default;
  UniqueHeldFile(const UniqueHeldFile&) = delete;
  UniqueHeldFile& operator=(const UniqueHeldFile&) = delete;
  ~UniqueHeldFile() { Reset(); }

  // The slot for a function that holds a file through `files`.
  HeldFile& Put(FileSystem& files) {
    Reset();
    files_ = &files;
    return held_;
  }
  HeldFile Get() const { return held_; }
  void Reset() {
    if (held_ != 0 && files_ != nullptr) (void)files_->Release(held_);
    held_ = 0;
  }

 private:
  FileSystem* files_ = nullptr;
  HeldFile held_ = 0;
};

}  // namespace kvt::platform
