// The table of field names and their two-digit wire tags.
//
// A constant table: built on the first call of getInstance (a function-local
// static, so the first call is thread-safe) and only read afterwards, from
// every thread that writes or reads messages.
#pragma once

#include <map>
#include <string>

namespace tavin {

class FieldMapping {
 public:
  static const FieldMapping& getInstance();

  // The name of a tag; raises std::runtime_error "Wrong type ID:<tag>".
  const std::string& getTypeName(const std::string& tag) const;
  // The tag of a name; raises std::runtime_error "Wrong type name:<name>".
  const std::string& getTypeId(const std::string& name) const;

 private:
  FieldMapping();

  std::map<std::string, std::string> tagToName_;
  std::map<std::string, std::string> nameToTag_;
};

}  // namespace tavin
