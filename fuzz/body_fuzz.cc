// Body parsing with packages.
//
// Half the inputs are a message type and a body text, read by the factory
// the way a received message's body is (and a status response's packages
// split into records the way the console does): any outcome but a crash or
// a codec exception is a fault.
//
// The other half are the values of the bodies the agent writes: a status
// response with records of arbitrary content in both packages, a system-log
// push and a trouble-shooting response. What the agent writes, the reader
// must give back value for value.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "codec/errors.h"
#include "codec/package_field.h"
#include "codec/records.h"
#include "console/decoding.h"
#include "handlers/bodies.h"
#include "handlers/status_messages.h"
#include "handlers/system_log_message.h"
#include "handlers/trouble_shooting_messages.h"

namespace {

const tavin::MessageBodyFactory& factory() {
  static const tavin::MessageBodyFactory instance = tavin::wireBodyFactory();
  return instance;
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_body: %s\n", what);
  std::abort();
}

// A value as a field carries it: anything but SOH.
std::string value(FuzzedDataProvider& in) {
  std::string text = in.ConsumeRandomLengthString(64);
  for (char& c : text) {
    if (c == '\x01') c = ' ';
  }
  return text;
}

void readReceivedBody(FuzzedDataProvider& in) {
  static const char* const kTypes[] = {"02", "03", "12", "13", "19", "20", "7"};
  const std::string type = kTypes[in.ConsumeIntegralInRange<size_t>(0, 6)];
  const bool asPackage = in.ConsumeBool();
  const std::string text = in.ConsumeRemainingBytesAsString();
  try {
    if (asPackage) {
      tavin::PackageField package;
      package.parsePackage(text);
      return;
    }
    std::unique_ptr<tavin::MessageBody> body = factory().createMessageBody(type, text);
    if (body && type == "03") (void)tavin::console::decodeStatus(*body);
  } catch (const tavin::console::DecodeError&) {
  } catch (const tavin::AppError&) {
  } catch (const std::exception&) {
  }
}

std::vector<std::pair<std::string, std::string>> fieldsOf(const tavin::console::Record& record) {
  return record.fields;
}

std::vector<std::pair<std::string, std::string>> named(const std::vector<std::string>& names,
                                                       const std::vector<std::string>& values) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (size_t i = 0; i < names.size(); ++i) fields.emplace_back(names[i], values[i]);
  return fields;
}

void writeThenRead(FuzzedDataProvider& in) {
  using tavin::console::programColumns;
  using tavin::console::unitColumns;
  const size_t programs = in.ConsumeIntegralInRange<size_t>(0, 3);
  const size_t units = in.ConsumeIntegralInRange<size_t>(0, 3);
  std::vector<std::vector<std::string>> programValues;
  std::vector<std::vector<std::string>> unitValues;
  std::string qexPackage;
  std::string pbuPackage;
  for (size_t i = 0; i < programs; ++i) {
    tavin::Qex qex;
    qex.setExist(value(in));
    qex.setName(value(in));
    qex.setType(value(in));
    qex.setStatus(value(in));
    qex.setVersion(value(in));
    qex.setWarningLevel(value(in));
    programValues.push_back({qex.getExist(), qex.getName(), qex.getType(), qex.getStatus(),
                             qex.getVersion(), qex.getWarningLevel()});
    qexPackage += qex.recordText();
  }
  for (size_t i = 0; i < units; ++i) {
    std::vector<std::string> v;
    for (size_t k = 0; k < 13; ++k) v.push_back(value(in));
    tavin::Pbu pbu(v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12]);
    pbu.setName(v[0]);
    unitValues.push_back(v);
    pbuPackage += pbu.recordText();
  }
  std::vector<std::string> plain;
  for (size_t k = 0; k < 6; ++k) plain.push_back(value(in));

  tavin::StatusResponseMessageBody status(plain[0], plain[1], plain[2], plain[3], plain[4],
                                          plain[5], qexPackage, pbuPackage);
  std::unique_ptr<tavin::MessageBody> read = factory().createMessageBody("03", status.toString());
  check(read != nullptr, "no status response body");
  check(read->getValue("qexPackage") == qexPackage, "qexPackage changed");
  check(read->getValue("pbuPackage") == pbuPackage, "pbuPackage changed");
  const tavin::console::StatusReport report = tavin::console::decodeStatus(*read);
  check(report.fields == named(tavin::console::statusFieldNames(), plain), "plain fields changed");
  check(report.programs.size() == programs, "program record count changed");
  check(report.units.size() == units, "unit record count changed");
  for (size_t i = 0; i < programs; ++i) {
    check(fieldsOf(report.programs[i]) == named(programColumns(), programValues[i]),
          "a program record changed");
  }
  for (size_t i = 0; i < units; ++i) {
    check(fieldsOf(report.units[i]) == named(unitColumns(), unitValues[i]),
          "a unit record changed");
  }

  tavin::LogMessageBody log(value(in));
  std::unique_ptr<tavin::MessageBody> readLog = factory().createMessageBody("13", log.toString());
  check(readLog && readLog->getValue("sysLog") == log.getValue("sysLog"), "sysLog changed");

  const std::string service = value(in);
  const std::string shooting = value(in);
  const std::string result = value(in);
  tavin::TroubleShootingResponseMessageBody answer(service, shooting, result);
  std::unique_ptr<tavin::MessageBody> readAnswer =
      factory().createMessageBody("20", answer.toString());
  check(readAnswer && readAnswer->getValue("serviceType") == service &&
            readAnswer->getValue("ShootingType") == shooting &&
            readAnswer->getValue("result") == result,
        "trouble-shooting response changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    readReceivedBody(in);
  } else {
    writeThenRead(in);
  }
  return 0;
}
