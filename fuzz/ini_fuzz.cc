// The ini reader on arbitrary bytes. Besides never failing, it must read a
// file the same whether its lines end in LF or CR LF, and a file loaded from
// disk the same as its text parsed in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "platform/ini_file.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_ini: %s\n", what);
  std::abort();
}

// The names the agent asks for, and every text that stands between "[" and
// "]" or the line end in the input (a superset of its section names).
std::set<std::string> sectionsToAsk(const std::string& text) {
  std::set<std::string> names = {"",     "PORT",  "Program", "LOG",           "Log",
                                 "TIME", "Tavin", "TAVIN",   "ACCESS_CONTROL", "QEXStatus"};
  for (size_t open = text.find('['); open != std::string::npos; open = text.find('[', open + 1)) {
    const size_t end = text.find_first_of("]\r\n", open + 1);
    names.insert(text.substr(open + 1, end == std::string::npos ? end : end - open - 1));
  }
  return names;
}

bool sameReading(const platform::IniFile& a, const platform::IniFile& b,
                 const std::set<std::string>& sections) {
  for (const std::string& section : sections) {
    if (a.hasSection(section) != b.hasSection(section)) return false;
    const auto lines = a.sectionLines(section);
    if (lines != b.sectionLines(section)) return false;
    for (const auto& [key, value] : lines) {
      if (a.find(section, key) != b.find(section, key)) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const platform::IniFile ini = platform::IniFile::parse(text);
  const std::set<std::string> sections = sectionsToAsk(text);
  for (const std::string& section : sections) {
    for (const auto& [key, value] : ini.sectionLines(section)) {
      // The first line of a key is what a read returns.
      check(ini.find(section, key).has_value(), "a key of the section is not found");
    }
    check(ini.keyNames(section).size() == ini.sectionLines(section).size(),
          "key walk and lines disagree");
  }

  if (text.find('\r') == std::string::npos) {
    std::string crlf;
    for (char c : text) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    check(sameReading(ini, platform::IniFile::parse(crlf), sections),
          "CR LF line ends read differently from LF");
  }

  static const int fd = memfd_create("ini", 0);
  check(fd >= 0, "memfd_create");
  check(ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) ==
                                     static_cast<ssize_t>(text.size()),
        "writing the memory file");
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  platform::IniFile loaded;
  check(platform::IniFile::load(path, &loaded).isOk(), "load failed");
  check(sameReading(ini, loaded, sections), "a loaded file reads differently from its text");
  return 0;
}
