#include "codec/field.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "codec/field_mapping.h"
#include "tests/support/error_text.h"

namespace tavin {
namespace {

using test::errorText;

TEST(FieldMapping, TranslatesBothWaysAndRejectsTheUnknown) {
  const FieldMapping& table = FieldMapping::getInstance();
  EXPECT_EQ(table.getTypeName("04"), "messageType");
  EXPECT_EQ(table.getTypeId("checkSum"), "99");
  EXPECT_EQ(table.getTypeId("timeGap"), "37");
  EXPECT_EQ(table.getTypeId("MaxOrderNumber"), "90");
  EXPECT_EQ(table.getTypeName(""), "");
  EXPECT_EQ(table.getTypeId(""), "");
  EXPECT_EQ(errorText<std::runtime_error>([&] { table.getTypeName("4"); }), "Wrong type ID:4");
  EXPECT_EQ(errorText<std::runtime_error>([&] { table.getTypeId("checksum"); }),
            "Wrong type name:checksum");
  EXPECT_EQ(errorText<std::runtime_error>([&] { table.getTypeId("maxOrderNumber"); }),
            "Wrong type name:maxOrderNumber");
}

TEST(FieldMapping, HoldsFortyPairsThatRoundTrip) {
  const FieldMapping& table = FieldMapping::getInstance();
  int known = 0;
  for (int tag = 0; tag < 100; ++tag) {
    char text[3] = {static_cast<char>('0' + tag / 10), static_cast<char>('0' + tag % 10), 0};
    try {
      const std::string& name = table.getTypeName(text);
      EXPECT_EQ(table.getTypeId(name), text);
      ++known;
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_EQ(known + 1, 40);  // and the empty pair
}

TEST(Field, WritesAndParsesTheWireForm) {
  Field field("messageType", "12");
  EXPECT_EQ(field.typeId(), "04");
  EXPECT_EQ(field.toString(), "04=12");

  Field parsed;
  parsed.parse("04=12");
  EXPECT_EQ(parsed.typeName(), "messageType");
  EXPECT_EQ(parsed.typeId(), "04");
  EXPECT_EQ(parsed.value(), "12");

  parsed.parse("36=");
  EXPECT_EQ(parsed.typeName(), "serviceType");
  EXPECT_EQ(parsed.value(), "");

  parsed.parse("04=a=b");
  EXPECT_EQ(parsed.value(), "a=b");

  parsed.parse("=5");
  EXPECT_EQ(parsed.typeName(), "");
  EXPECT_TRUE(parsed.isEmpty());
  EXPECT_TRUE(parsed.isPackageLength());
  EXPECT_TRUE(parsed.isPackage());
}

TEST(Field, ParseErrorsNameThePreviousField) {
  Field field;
  field.parse("36=x");  // now named serviceType
  EXPECT_EQ(errorText<std::logic_error>([&] { field.parse(""); }),
            "Field not complete(1), typeName=serviceType");
  EXPECT_EQ(errorText<std::logic_error>([&] { field.parse("36"); }),
            "Field not complete(2), typeName=serviceType");
  EXPECT_EQ(errorText<std::runtime_error>([&] { field.parse("x=1"); }),
            "Field Parse Error str=x=1");
  EXPECT_EQ(errorText<std::runtime_error>([&] { field.parse("3x=1"); }),
            "Field Parse Error str=3x=1");
  EXPECT_EQ(errorText<std::runtime_error>([&] { field.parse("98=1"); }), "Wrong type ID:98");
  EXPECT_EQ(errorText<std::runtime_error>([] { Field("nosuch", "1"); }),
            "Wrong type name:nosuch");
}

TEST(Field, ReadAndExpectMoveThroughAText) {
  const std::string text = std::string("00=Tavin1.20\x01") + "01=S\x01" + "04=12";
  size_t pos = 0;
  Field field;
  field.expectField("version", pos, text);
  EXPECT_EQ(field.value(), "Tavin1.20");
  EXPECT_EQ(pos, 13u);
  field.readField(text, pos);
  EXPECT_EQ(field.typeName(), "orientation");
  // The last field has no SOH: it runs to the end and the position stops there.
  EXPECT_EQ(errorText<std::runtime_error>([&] { field.expectField("checkSum", pos, text); }),
            "checkSum field not exists messageType instead");
  EXPECT_EQ(pos, text.size());
  // Nothing left: an empty field text.
  EXPECT_EQ(errorText<std::logic_error>([&] { field.readField(text, pos); }),
            "Field not complete(1), typeName=messageType");
  EXPECT_EQ(pos, text.size());
}

TEST(Field, PredicatesCompareNamesExactly) {
  EXPECT_TRUE(Field("qexPackage", "").isPackage());
  EXPECT_TRUE(Field("pbuPackage", "").isPackage());
  EXPECT_FALSE(Field("qexPackageLength", "").isPackage());
  EXPECT_TRUE(Field("qexPackageLength", "").isPackageLength());
  EXPECT_TRUE(Field("pbuPackageLength", "").isPackageLength());
  EXPECT_FALSE(Field("sysLog", "").isPackageLength());
  EXPECT_FALSE(Field("sysLog", "").isEmpty());
}

}  // namespace
}  // namespace tavin
