#include "platform/ini_file.h"

#include "platform/files.h"
#include "platform/gbk.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Blanks are ASCII bytes below 0x40 and never the second byte of a GBK
// character, so trimming byte by byte is safe.
std::string_view trimBlanks(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string_view trimLeadingBlanks(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size() && isBlank(text[begin])) ++begin;
  return text.substr(begin);
}

}  // namespace

IniFile IniFile::parse(std::string_view text) {
  IniFile ini;
  Section* current = nullptr;  // lines before any section header: the unnamed section
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trimLeadingBlanks(line);
    if (trimBlanks(line).empty() || line.front() == ';' || line.front() == '#') continue;

    if (line.front() == '[') {
      std::string_view name = line.substr(1);
      const size_t close = findGbkChar(name, ']');
      if (close != std::string_view::npos) name = name.substr(0, close);
      current = &ini.sections_[asciiUpperGbk(trimBlanks(name))];
      continue;
    }

    if (current == nullptr) current = &ini.sections_[std::string()];
    const size_t equals = line.find('=');  // never the second byte of a character
    std::string key(trimBlanks(line.substr(0, equals)));
    std::string value;
    if (equals != std::string_view::npos) value = std::string(trimLeadingBlanks(line.substr(equals + 1)));
    current->firstLineOfKey.emplace(asciiUpperGbk(key), current->lines.size());
    current->lines.emplace_back(std::move(key), std::move(value));
  }
  return ini;
}

SysStatus IniFile::load(const std::string& path, IniFile* out) {
  *out = IniFile();
  if (!fileExists(path)) return SysStatus::ok();
  std::string text;
  SysStatus status = readFile(path, &text, kMaxFileBytes);
  if (!status.isOk()) return status;
  *out = parse(text);
  return SysStatus::ok();
}

const IniFile::Section* IniFile::findSection(std::string_view name) const {
  auto it = sections_.find(asciiUpperGbk(name));
  return it == sections_.end() ? nullptr : &it->second;
}

bool IniFile::hasSection(std::string_view section) const {
  return findSection(section) != nullptr;
}

std::optional<std::string> IniFile::find(std::string_view section, std::string_view key) const {
  const Section* s = findSection(section);
  if (s == nullptr) return std::nullopt;
  auto it = s->firstLineOfKey.find(asciiUpperGbk(key));
  if (it == s->firstLineOfKey.end()) return std::nullopt;
  return s->lines[it->second].second;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  std::optional<std::string> value = find(section, key);
  return value ? *value : std::string(fallback);
}

std::vector<std::string> IniFile::keyNames(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* s = findSection(section)) {
    for (const auto& line : s->lines) names.push_back(line.first);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> IniFile::sectionLines(
    std::string_view section) const {
  const Section* s = findSection(section);
  return s ? s->lines : std::vector<std::pair<std::string, std::string>>();
}

}  // namespace platform
