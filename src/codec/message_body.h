// Base of every message body: a store of named fields, written by the body's
// template (its pattern) and read back by one generic parser.
//
// A pattern is a run of entries "<" marker name ">"; the marker "!" makes the
// field necessary, any other marker optional; bytes outside the brackets are
// ignored. A body is owned by its Message and used by one thread at a time.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "codec/field.h"

namespace tavin {

class MessageBody {
 public:
  MessageBody() = default;
  MessageBody(const MessageBody&) = delete;
  MessageBody& operator=(const MessageBody&) = delete;
  virtual ~MessageBody() = default;

  // The message type text ("02", "12", ...); empty for the base class.
  virtual std::string getMessageType() const { return std::string(); }
  // The response body a received request yields, or null for none. The base
  // class raises logic_error "class is not executable".
  virtual std::unique_ptr<MessageBody> execute();
  virtual std::string getResult() const { return std::string(); }
  // The template; the base class raises logic_error "this is an abstract
  // class message body".
  virtual std::string getPattern() const;

  // The field stored under name, or the absent field.
  const Field& getField(const std::string& name) const;
  std::string getValue(const std::string& name) const { return getField(name).value(); }
  // Builds a Field from name and value (a name outside the table raises) and
  // stores it; the first field of a name wins.
  void addField(const std::string& name, const std::string& value);
  void insertField(std::unique_ptr<Field> field);
  size_t fieldCount() const { return fields_.size(); }

  // The body's wire text by its pattern; each field is followed by SOH.
  std::string toString() const;

  // Fills the store from a received body text. Package length fields are
  // followed by exactly that many package bytes, handed to PackageField.
  // Errors end the parse; fields stored before them stay.
  void parse(const std::string& text);

 private:
  std::map<std::string, std::unique_ptr<Field>> fields_;
};

}  // namespace tavin
