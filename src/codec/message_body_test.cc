#include "codec/message_body.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "codec/package_field.h"
#include "tests/support/error_text.h"
#include "tests/support/wire.h"

namespace tavin {
namespace {

using test::errorText;
using test::wire;

// A body whose pattern and type the test chooses.
class PatternBody : public MessageBody {
 public:
  explicit PatternBody(std::string pattern, std::string type = "19")
      : pattern_(std::move(pattern)), type_(std::move(type)) {}
  std::string getPattern() const override { return pattern_; }
  std::string getMessageType() const override { return type_; }

 private:
  std::string pattern_;
  std::string type_;
};

TEST(MessageBody, WritesFieldsInPatternOrder) {
  PatternBody body("<!serviceType><!ShootingType>");
  body.addField("ShootingType", "AgentVersion");
  body.addField("serviceType", "s1");
  body.addField("result", "not in the pattern");
  EXPECT_EQ(body.toString(), wire({"36=s1", "91=AgentVersion"}));
}

TEST(MessageBody, PatternRules) {
  struct Case {
    const char* pattern;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},
      {"<!serviceType>  junk  <?ShootingType>", "36=s\x01"},  // optional and absent
      {"<!serviceType><!ShootingType", "36=s\x01"},          // last entry never closed
      {"<<!serviceType>", "36=s\x01"},                       // a second "<" restarts
      {"<?result><!serviceType>", "36=s\x01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    PatternBody body(c.pattern);
    body.addField("serviceType", "s");
    EXPECT_EQ(body.toString(), c.expected);
  }
}

TEST(MessageBody, PatternErrors) {
  const std::string spaces(34, ' ');
  for (const char* bad : {"><!serviceType>", "<!serviceType><>", "<!serviceType>>"}) {
    SCOPED_TRACE(bad);
    PatternBody body(bad, "19");
    body.addField("serviceType", "s");
    EXPECT_EQ(errorText<std::logic_error>([&] { body.toString(); }),
              std::string("Invalid pattern: '") + bad + "', type =" + spaces + "19");
  }
  PatternBody missing("<!serviceType><!ShootingType>");
  missing.addField("serviceType", "s");
  EXPECT_EQ(errorText<std::logic_error>([&] { missing.toString(); }),
            "Neccessary Field 'ShootingType' not exists in class");

  MessageBody abstract;
  EXPECT_EQ(errorText<std::logic_error>([&] { abstract.toString(); }),
            "this is an abstract class message body");
  EXPECT_EQ(errorText<std::logic_error>([&] { abstract.execute(); }), "class is not executable");
  EXPECT_EQ(errorText<std::runtime_error>([&] { abstract.addField("nosuch", ""); }),
            "Wrong type name:nosuch");
}

TEST(MessageBody, ParseKeepsTheFirstOfTwoFieldsAndStopsAtErrors) {
  PatternBody body("");
  body.parse(wire({"36=first", "91=x", "36=second"}));
  EXPECT_EQ(body.getValue("serviceType"), "first");
  EXPECT_EQ(body.getValue("ShootingType"), "x");
  EXPECT_EQ(body.getValue("result"), "");
  EXPECT_TRUE(body.getField("result").isEmpty());

  PatternBody bad("");
  EXPECT_EQ(errorText<std::runtime_error>([&] { bad.parse(wire({"36=a", "98=b", "91=c"})); }),
            "Wrong type ID:98");
  EXPECT_EQ(bad.getValue("serviceType"), "a");  // stored before the error
  EXPECT_EQ(bad.fieldCount(), 1u);

  PatternBody empty("");
  empty.parse("");
  EXPECT_EQ(empty.fieldCount(), 0u);
  // A single trailing byte is not read as a field.
  empty.parse("x");
  EXPECT_EQ(empty.fieldCount(), 0u);
}

TEST(MessageBody, ReadsPackagesWholeAndGoesOnAfterThem) {
  // The package holds SOH bytes; the reader only counts its bytes.
  const std::string records = wire({"85=Y", "89=a"});
  const std::string package = "70=" + records;
  const std::string text = wire({"38=07", "69=" + std::to_string(package.size())}) + package +
                           '\x01' + wire({"36=after"});
  PatternBody body("");
  body.parse(text);
  EXPECT_EQ(body.getValue("envNo"), "07");
  EXPECT_EQ(body.getValue("qexPackage"), records);
  EXPECT_EQ(body.getValue("serviceType"), "after");
  const auto& stored = dynamic_cast<const PackageField&>(body.getField("qexPackage"));
  EXPECT_EQ(stored.lengthName(), "qexPackageLength");
}

TEST(MessageBody, PackageLengthsThatInputControlsAreChecked) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {wire({"69=-3", "70="}), "'-3' is not a valid integer value"},
      {wire({"69=+3", "70="}), "'+3' is not a valid integer value"},
      {wire({"69=99999999999", "70="}), "'99999999999' is not a valid integer value"},
      {wire({"69=x"}), "'x' is not a valid integer value"},
      {wire({"69=4000", "70="}), "Package length not match!"},   // past the body's end
      {wire({"69=012"}) + "70=123456789", "Package length not match!"},  // 12 bytes, "012"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(test::hex(c.text));
    PatternBody body("");
    try {
      body.parse(c.text);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.error);
    }
  }
}

TEST(MessageBody, RandomValuesRoundTripThroughWriteAndParse) {
  std::mt19937 random(20261208);
  const char* names[] = {"serviceType", "ShootingType", "result", "sysLog", "envNo"};
  for (int round = 0; round < 500; ++round) {
    PatternBody written("<!serviceType><!ShootingType><?result><?sysLog><?envNo>");
    std::string values[5];
    for (int i = 0; i < 5; ++i) {
      if (i >= 2 && random() % 2) continue;
      std::string value(random() % 40, '\0');
      for (char& c : value) {
        c = static_cast<char>(2 + random() % 254);  // every byte but 0x00 and SOH
      }
      values[i] = value;
      written.addField(names[i], value);
    }
    PatternBody read("");
    read.parse(written.toString());
    for (int i = 0; i < 5; ++i) {
      SCOPED_TRACE(names[i]);
      EXPECT_EQ(read.getValue(names[i]), values[i]);
    }
  }
}

}  // namespace
}  // namespace tavin
