#include "codec/package_field.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/records.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::errorText;
using test::wire;

Qex runningProgram1() {
  Qex qex;
  qex.setExist("Y");
  qex.setName(std::string(kProgram1Name));
  qex.setStatus(std::string(kStatusRunning));
  qex.setWarningLevel("0");
  return qex;
}

TEST(Records, ProgramRecordWorkedExample) {
  const std::string record = runningProgram1().recordText();
  EXPECT_EQ(record, wire({"85=Y", "89=监控程序1", "63=", "64=运行", "52=", "77=0"}));
  EXPECT_EQ(record.size(), 39u);
  EXPECT_EQ(PackageField("qexPackage", record).toString(), "69=42\x01" "70=" + record);
}

TEST(Records, FreshProgramRecordIsUnknown) {
  EXPECT_EQ(Qex().recordText(), wire({"85=", "89=", "63=", "64=未知", "52=", "77="}));
}

TEST(Records, TradingUnitRecordOrder) {
  Pbu pbu("OP000000001", "A", "3", "10", "9", "8", "1000", "127.0.0.1", "127.0.0.2", "cap",
          "wk", "1");
  pbu.setName(std::string(kProgram2Name));
  EXPECT_EQ(pbu.recordText(),
            wire({"89=监控程序2", "34=OP000000001", "63=A", "83=3", "65=10", "66=9", "67=8",
                  "90=1000", "74=127.0.0.1", "57=127.0.0.2", "75=cap", "76=wk", "77=1"}));
  Pbu configured = Pbu::fromConfig(std::string(kProgram1Name), "12345678901");
  EXPECT_EQ(configured.getStatus(), "0");
  EXPECT_EQ(configured.recordText(), wire({"89=监控程序1", "34=12345678901", "63=", "83=0",
                                            "65=", "66=", "67=", "90=", "74=", "57=", "75=",
                                            "76=", "77="}));
}

TEST(PackageField, EmptyPackageStillCountsItsTag) {
  EXPECT_EQ(PackageField("pbuPackage", "").toString(), "71=3\x01" "72=");
}

TEST(PackageField, OnlyPackageNamesAreAccepted) {
  EXPECT_EQ(errorText<std::logic_error>([] { PackageField("sysLog", ""); }),
            "sysLogis not a type name");
  PackageField unnamed;
  EXPECT_EQ(unnamed.lengthName(), "Length");
  EXPECT_EQ(PackageField("", "").lengthName(), "Length");
}

TEST(PackageField, ParseChecksTheLengthAsText) {
  const std::string record = runningProgram1().recordText();
  PackageField field;
  field.parsePackage("69=42\x01" "70=" + record);
  EXPECT_EQ(field.typeName(), "qexPackage");
  EXPECT_EQ(field.value(), record);
  EXPECT_EQ(field.lengthName(), "qexPackageLength");

  field.parsePackage("71=3\x01" "72=");
  EXPECT_EQ(field.typeName(), "pbuPackage");
  EXPECT_EQ(field.value(), "");

  for (const std::string& bad : {std::string("69=012\x01" "70=123456789"),
                                std::string("69=13\x01" "70=123456789"),
                                std::string("69=1"), std::string("")}) {
    SCOPED_TRACE(test::hex(bad));
    EXPECT_EQ(errorText<std::length_error>([&] { field.parsePackage(bad); }),
              "Package length not match!");
  }
  EXPECT_EQ(errorText<std::runtime_error>([&] { field.parsePackage("6x=3\x01" "70="); }),
            "Field Parse Error str=6x=3");
}

}  // namespace
}  // namespace tavin
