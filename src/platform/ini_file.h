// A Windows-style ini file read whole into memory, never written. The agent
// reads its own ini file, the host's system configuration file and the
// monitored programs' configuration and status files with it, on every
// platform alike (the operating system's own ini functions are not used).
//
// Format, as this reader takes it:
// - Lines end in LF or CR LF; a trailing CR is not part of the line.
// - "[name]" starts a section; the name is what stands between "[" and the
//   first "]", without surrounding blanks. Lines before the first section
//   belong to a section with the empty name.
// - "key=value": the key is the text before the first "=" without surrounding
//   blanks (spaces, tabs); the value is the text after it without leading
//   blanks. Blanks at the end of a value are kept: they are part of what the
//   file says (an 11-byte operator code with a blank behind it is 12 bytes).
//   A line with text but no "=" is a key with an empty value.
// - Blank lines and lines whose first non-blank character is ";" or "#" are
//   comments. There are no comments at the end of a line: a ";" after "=" is
//   part of the value. Quotes are kept as they are.
// - Section and key names are matched without regard to ASCII letter case
//   (GBK two-byte characters are compared as they are). A section written
//   twice reads as one section holding the lines of both, in file order.
//   A key written twice: reads return the first occurrence; the key walk and
//   the line list return both.
//
// Text stays GBK bytes; nothing is converted. Immutable after reading; any
// thread may read a shared instance.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sys_status.h"

namespace platform {

class IniFile {
 public:
  // An empty file: every read yields its default.
  IniFile() = default;

  static IniFile parse(std::string_view text);

  // The longest file load() reads. The largest the agent meets are status
  // files of 999 operator sections, some 400 KB; a longer file is refused
  // rather than read into memory whole on every status request.
  static constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

  // Reads the file at path into *out. A missing file reads as an empty one
  // and is not an error; a file that exists but cannot be read is, and so
  // is one longer than kMaxFileBytes or one that is not a regular file.
  static SysStatus load(const std::string& path, IniFile* out);

  bool hasSection(std::string_view section) const;

  // The value of the first occurrence of key in section, if there is one.
  std::optional<std::string> find(std::string_view section, std::string_view key) const;
  // The same, or fallback when the key is absent. A present key with an
  // empty value yields the empty text, not the fallback.
  std::string readString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;

  // Every key name of section in file order, duplicates included, spelled as
  // in the file.
  std::vector<std::string> keyNames(std::string_view section) const;
  // Every (key, value) line of section in file order.
  std::vector<std::pair<std::string, std::string>> sectionLines(std::string_view section) const;

 private:
  struct Section {
    std::vector<std::pair<std::string, std::string>> lines;
    std::map<std::string, size_t> firstLineOfKey;  // upper-cased key -> index in lines
  };

  const Section* findSection(std::string_view name) const;

  std::map<std::string, Section> sections_;  // by upper-cased name
};

}  // namespace platform
