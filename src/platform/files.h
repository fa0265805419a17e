// Files and directories, as the core needs them. Paths are GBK byte strings;
// the Windows implementation hands them to the W functions through code page
// 936. Every file the agent reads is opened with full sharing (read, write,
// delete) on Windows and closed at once, so the agent never blocks the
// program that writes, rotates or deletes it. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sys_status.h"

namespace platform {

// The separator of the platform: "\" on Windows, "/" on POSIX.
char pathSeparator();
// Rewrites every "\" of a configured path to the platform's separator (a
// no-op on Windows). Steps over the second byte of two-byte GBK characters,
// which may be 0x5C.
std::string nativePath(const std::string& path);
// The offset where the file name part of a path begins: just behind its last
// separator ("/", and on Windows also "\"), 0 when it has none. Separator
// bytes inside two-byte GBK characters do not count.
size_t fileNameOffset(const std::string& path);
// The path without the extension of its file name part (the last "." of the
// file name and what follows it); unchanged when the file name has no ".".
std::string withoutExtension(const std::string& path);

bool fileExists(const std::string& path);       // a file (not a directory)
// The length of a regular file, without opening it for reading.
SysStatus fileSize(const std::string& path, int64_t* size);
bool directoryExists(const std::string& path);
// Creates one directory level (no parents). Ok when it exists already.
SysStatus createDirectory(const std::string& path);
// The process's current directory, without a trailing separator; empty on failure.
std::string currentDirectory();
// The full path of the running executable; empty on failure.
std::string executablePath();

// The whole file into *out. A missing file is an error (callers decide), and
// so are a file longer than maxBytes and anything but a regular file (a FIFO
// or a device could block the reader or never end).
SysStatus readFile(const std::string& path, std::string* out, size_t maxBytes = SIZE_MAX);
// Opens (creating if missing) and appends bytes, then closes the file.
SysStatus appendToFile(const std::string& path, const std::string& bytes);
// Replaces the file's content (used by tests and tools).
SysStatus writeFile(const std::string& path, const std::string& bytes);
SysStatus removeFile(const std::string& path);
// Replaces the file's content as one step: the bytes go to a new file beside
// it (path + ".new", made anew, never opened through a file or a link that
// stands under that name; readable and writable by its owner alone on
// POSIX), which is flushed to the disk and renamed over path. A crash or a
// power cut leaves either the old content or the new, never a mix.
SysStatus replaceFile(const std::string& path, const std::string& bytes);

// What tells a file from another file at the same path, and its length.
struct FileState {
  uint64_t volume = 0;  // the device or volume holding it
  uint64_t index = 0;   // its number on that volume (inode, file index)
  int64_t size = 0;

  bool sameFile(const FileState& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The directory the agent's own files go into, as it was when noted. Files
// are appended to in it by name (appendInDirectory) only while it still is
// a directory of its own there, not a link put in its place later by
// whoever may write the folder above it. A directory whose path was a link
// when noted (a layout made so on purpose, such as a log folder that leads
// elsewhere) may stay one, as long as it leads where it led. Copyable; any
// thread.
class NotedDirectory {
 public:
  NotedDirectory() = default;
  // Notes the directory at path ("" is the current directory; a trailing
  // separator does not count). A missing one notes no link: it may be made
  // later, but not as a link.
  static NotedDirectory note(const std::string& path);
  const std::string& path() const { return path_; }
  bool wasLink() const { return wasLink_; }

 private:
  friend SysStatus appendInDirectory(const NotedDirectory& dir, const std::string& name,
                                     const std::string& bytes);

  std::string path_ = ".";
  bool wasLink_ = false;
  FileState target_;  // where the link led, when it was one
};

// Appends bytes to the file `name` in the noted directory, creating it if
// missing, without writing through a link made since it was noted: the
// directory must not be a link now unless it was one and leads to the same
// directory, and the file must not be a link (on Windows, no reparse point;
// the file opened must also be in the folder opened). A refusal writes no
// byte and fails with isLinkRefusal; it makes no file either, but for the
// last of the Windows checks, which looks at the file once it is open.
SysStatus appendInDirectory(const NotedDirectory& dir, const std::string& name,
                            const std::string& bytes);
// The failure of a write that met a link it did not expect.
inline constexpr char kLinkRefusedCall[] = "link refused";
inline bool isLinkRefusal(const SysStatus& status) { return status.call() == kLinkRefusedCall; }
// A directory's path as the system is asked about the directory itself:
// without a trailing separator (the root keeps its own), "." for "".
std::string directoryPath(const std::string& path);

// Reads a file in binary mode line by line, in the manner of fgets with a
// buffer of `bufferSize` bytes: one read returns the bytes up to and including
// the next line feed, or bufferSize - 1 bytes, or what is left before the end
// of the file. The file is read in large blocks, whatever the line length.
// Offsets are 64-bit. Open files are shared for read, write and delete on
// Windows. Only regular files open. Move-only; closes on destruction.
class LineReader {
 public:
  LineReader();
  ~LineReader();
  LineReader(LineReader&&) noexcept;
  LineReader& operator=(LineReader&&) noexcept;

  SysStatus open(const std::string& path);
  bool isOpen() const;
  SysStatus seek(int64_t offset);  // from the start of the file
  // The open file's identity and its length now.
  SysStatus state(FileState* out) const;
  // Reads one line into *line (its real bytes, zero bytes included). False at
  // the end of the file or on a read error (then *line is empty).
  bool readLine(std::string* line, size_t bufferSize = 1024);
  void close();

 private:
  static constexpr size_t kBlock = 64 * 1024;

  // The platform's part: the open file.
  struct Impl;
  SysStatus openFile(const std::string& path);
  SysStatus seekFile(int64_t offset);
  // One read of at most size bytes at the file's position; 0 at its end or
  // on an error.
  size_t readSome(char* buffer, size_t size);

  std::unique_ptr<Impl> impl_;
  std::unique_ptr<char[]> block_;  // kBlock bytes once the first read needs them
  size_t begin_ = 0;  // unread bytes are block_[begin_, end_)
  size_t end_ = 0;
  bool ended_ = false;
};

}  // namespace platform
