#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/process_list.h"
#include "platform/text.h"

namespace platform {
namespace {

bool isPid(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// The last component of a path. Both "/" and "\" end a directory: a Windows
// program run under Wine shows a path such as C:\dir\Prog.exe as its argv[0].
// The bytes here are the system's (UTF-8), whose multi-byte sequences never
// contain either separator.
std::string baseName(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Names on Linux are UTF-8 bytes; the program compares GBK text.
std::string toGbk(const std::string& utf8) {
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) return utf8ToGbk(utf8);
  }
  return utf8;
}

// The target of a link; empty when it cannot be read, with *missing set when
// the link does not exist at all.
std::string readLink(const std::string& path, bool* missing) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  *missing = n < 0 && errno == ENOENT;
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::string();
  std::string target(buffer, static_cast<size_t>(n));
  // A running program whose file was replaced (an upgrade) links to
  // "<path> (deleted)"; its name is still the path's.
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) {
    target.resize(target.size() - kDeleted.size());
  }
  return target;
}

// argv[0]: the cmdline file up to its first zero byte. Kernel threads have
// an empty cmdline.
std::string readArgv0(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  char buffer[4096];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::string();
  return std::string(buffer, ::strnlen(buffer, static_cast<size_t>(n)));
}

}  // namespace

SysStatus listProcesses(std::vector<ProcessInfo>* out) {
  out->clear();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return SysStatus::lastError("opendir");
  while (const dirent* entry = ::readdir(proc)) {
    if (!isPid(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    ProcessInfo info;
    bool noExecutable = false;
    const std::string exe = readLink(dir + "/exe", &noExecutable);
    // Kernel threads (and processes that have just ended) have no executable
    // and no command line either; reading theirs would cost a status request
    // half of its time on a typical host. A link that exists but may not be
    // read (another user's process) still leaves argv[0].
    if (noExecutable) continue;
    if (!exe.empty()) info.exeName = toGbk(baseName(exe));
    const std::string argv0 = readArgv0(dir + "/cmdline");
    if (!argv0.empty()) info.argv0 = toGbk(baseName(argv0));
    // A process that ended while the list was read has neither.
    if (!info.exeName.empty() || !info.argv0.empty()) out->push_back(std::move(info));
  }
  ::closedir(proc);
  return SysStatus::ok();
}

}  // namespace platform
