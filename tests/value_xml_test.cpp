// The XML-RPC text form of values: exact output, round trips, the reader's
// tolerance and failures with the offset after each, and the nesting limit.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "XmlRpcValue.h"

using XmlRpc::XmlRpcValue;

namespace {

tm makeTm(int year, int mon, int mday, int hour, int min, int sec) {
  tm t = tm();
  t.tm_year = year;
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

XmlRpcValue bytes(const std::string& data) {
  return XmlRpcValue(const_cast<char*>(data.data()), static_cast<int>(data.size()));
}

// Puts the double format back when a test that changed it ends.
class DoubleFormatGuard {
 public:
  DoubleFormatGuard() : _saved(XmlRpcValue::getDoubleFormat()) {}
  ~DoubleFormatGuard() { XmlRpcValue::setDoubleFormat(_saved.c_str()); }

 private:
  std::string _saved;
};

TEST(ValueXml, WritesTheExactTextOfEachType) {
  tm date = makeTm(2024, 1, 2, 3, 4, 5);
  tm early = makeTm(99, 12, 31, 23, 59, 58);
  tm huge = makeTm(123456, 7, 17, 14, 8, 55);
  XmlRpcValue array, st;
  array[0] = 1;
  array[2] = "x";
  st["b&"] = XmlRpcValue(true);
  st["a"] = XmlRpcValue(-0.5);
  static_cast<void>(st["c"]);
  const std::vector<std::pair<XmlRpcValue, std::string>> cases = {
      {XmlRpcValue(), ""},
      {XmlRpcValue(true), "<value><boolean>1</boolean></value>"},
      {XmlRpcValue(false), "<value><boolean>0</boolean></value>"},
      {XmlRpcValue(-7), "<value><i4>-7</i4></value>"},
      {XmlRpcValue(1.5), "<value><double>1.500000</double></value>"},
      {XmlRpcValue(1e-7), "<value><double>0.000000</double></value>"},
      {XmlRpcValue("a<b>&'\" c"), "<value>a&lt;b&gt;&amp;&apos;&quot; c</value>"},
      {XmlRpcValue(&date), "<value><dateTime.iso8601>20240102T03:04:05</dateTime.iso8601></value>"},
      {XmlRpcValue(&early),
       "<value><dateTime.iso8601>  991231T23:59:58</dateTime.iso8601></value>"},
      {XmlRpcValue(&huge),
       "<value><dateTime.iso8601>1234560717T14:08:5</dateTime.iso8601></value>"},
      {bytes("foo"), "<value><base64>Zm9v</base64></value>"},
      {array,
       "<value><array><data><value><i4>1</i4></value><value>x</value></data></array></value>"},
      {st,
       "<value><struct><member><name>a</name><value><double>-0.500000</double></value></member>"
       "<member><name>b&amp;</name><value><boolean>1</boolean></value></member>"
       "<member><name>c</name></member></struct></value>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.first.toXml(), c.second);

  const std::string line(72, 'A');
  EXPECT_EQ(bytes(std::string(55, '\0')).toXml(),
            "<value><base64>" + line + "\nAA==</base64></value>");
}

TEST(ValueXml, EveryTypeSurvivesARoundTrip) {
  std::string allBytes;
  for (int c = 0; c < 256; ++c)
    allBytes += static_cast<char>(c);
  tm date = makeTm(1998, 7, 17, 14, 8, 55);
  XmlRpcValue v;
  v["bool"] = XmlRpcValue(true);
  v["int"] = INT_MIN;
  v["double"] = -2.25;
  v["string"] = " <&amp;> 'quoted' \"text\" \n";
  v["<odd & name>"] = "";
  v[""] = "empty name";
  v["date"] = XmlRpcValue(&date);
  v["binary"] = bytes(allBytes);
  v["emptyBinary"] = bytes("");
  v["array"][0] = 1;
  v["array"][1]["inner"][0] = "deep";
  v["array"][2].setSize(0);
  int start = 0;
  ASSERT_TRUE(v["emptyStruct"].fromXml("<value><struct></struct></value>", &start));

  const std::string xml = v.toXml();
  int offset = 0;
  XmlRpcValue back(xml, &offset);
  EXPECT_EQ(back, v);
  EXPECT_EQ(offset, static_cast<int>(xml.size()));
  EXPECT_EQ(back.toXml(), xml);

  XmlRpcValue emptyArray;
  emptyArray.setSize(0);
  offset = 0;
  EXPECT_TRUE(back.fromXml(emptyArray.toXml(), &offset));
  EXPECT_EQ(back, emptyArray);
}

struct Tolerated {
  std::string xml;
  XmlRpcValue expected;
  int end;  // offset after the read; -1 for the end of the text
};

TEST(ValueXml, ReaderToleratesLooseButUsableText) {
  XmlRpcValue one, two, firstWins;
  one[0] = 1;
  two[0] = 1;
  two[1] = 2;
  firstWins["a"] = 1;
  firstWins[""] = 3;
  const std::string badElement =
      "<value><array><data><value><i4>1</i4></value><value><boolean>2</boolean></value>";
  const std::vector<Tolerated> cases = {
      {"<value>abc</value>", XmlRpcValue("abc"), 18},
      {"<value></value>", XmlRpcValue(""), 15},
      {"<value>  </value>", XmlRpcValue("  "), 17},
      {" \n<value>\n<string>a&amp;b</string></value>tail", XmlRpcValue("a&b"), 42},
      {"<value><int>5</int></value>", XmlRpcValue(5), 27},
      {"<value><i4> 12 junk</value>", XmlRpcValue(12), 27},
      {"<value><i4>7<", XmlRpcValue(7), 12},
      {"<value><i4>99999999999</i4></value>", XmlRpcValue(INT_MAX), 35},
      {"<value><i4>-99999999999</i4></value>", XmlRpcValue(INT_MIN), 36},
      {"<value><boolean>+1</boolean></value>", XmlRpcValue(true), 36},
      {"<value><boolean>00</boolean></value>", XmlRpcValue(false), 36},
      {"<value><double> -2.5e3</double></value>", XmlRpcValue(-2500.0), 39},
      {"<value><base64> Zm\n9v </base64></value>", bytes("foo"), 39},
      {"<value><base64>!!</base64></value>", bytes(""), 34},
      {"<value><array><data><value><i4>1</i4></value><value><i4>2</i4>", two, 57},
      {badElement + "</data></array></value>", one, static_cast<int>(badElement.size())},
      {"<value><struct><member><name>a</name><value><i4>1</i4></value></member>"
       "<member><name>a</name><value>dup</value></member>"
       "<member><value><i4>3</i4></value></member></struct></value>",
       firstWins, -1},
  };
  for (const Tolerated& c : cases) {
    int offset = 0;
    XmlRpcValue v;
    EXPECT_TRUE(v.fromXml(c.xml, &offset)) << c.xml;
    EXPECT_EQ(v, c.expected) << c.xml;
    EXPECT_EQ(offset, c.end < 0 ? static_cast<int>(c.xml.size()) : c.end) << c.xml;
  }
}

TEST(ValueXml, DatesReadTheSixFieldsAsWritten) {
  const std::string xml = "<value><dateTime.iso8601>20240102T03:04:05Z</dateTime.iso8601></value>";
  int offset = 0;
  XmlRpcValue v(xml, &offset);
  ASSERT_EQ(v.getType(), XmlRpcValue::TypeDateTime);
  const tm& t = v;
  EXPECT_EQ(t.tm_year, 2024);
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 2);
  EXPECT_EQ(t.tm_hour, 3);
  EXPECT_EQ(t.tm_min, 4);
  EXPECT_EQ(t.tm_sec, 5);
  EXPECT_EQ(t.tm_isdst, -1);
  EXPECT_EQ(v.toXml(), "<value><dateTime.iso8601>20240102T03:04:05</dateTime.iso8601></value>");
}

TEST(ValueXml, MalformedValuesFailWithTheOffsetWhereItWas) {
  const std::vector<std::string> malformed = {
      "",
      "abc",
      "<Value>1</Value>",
      "<value><boolean>2</boolean></value>",
      "<value><boolean>true</boolean></value>",
      "<value><i4>x</i4></value>",
      "<value><double>.</double></value>",
      "<value>no closing",
      "<value><base64>Zm9v",
      "<value><dateTime.iso8601>2024-01-02</dateTime.iso8601></value>",
      "<value><nil/></value>",
      "<value><array><value><i4>1</i4></value></array></value>",
      "<value><struct><member><name>a</name><value><i4>x</i4></value></member></struct></value>",
      "<value><struct><member><name>a</name></member></struct></value>",
  };
  for (const std::string& body : malformed) {
    const std::string xml = "<x>" + body;
    int offset = 3;
    XmlRpcValue v(5);
    EXPECT_FALSE(v.fromXml(xml, &offset)) << body;
    EXPECT_FALSE(v.valid()) << body;
    EXPECT_EQ(offset, 3) << body;
  }
}

TEST(ValueXml, ConsecutiveValuesShareOneOffset) {
  const std::string xml = "<value><i4>1</i4></value>\n <value>two</value><value><double>3";
  int offset = 0;
  XmlRpcValue first(xml, &offset);
  EXPECT_EQ(offset, 25);
  XmlRpcValue second(xml, &offset);
  EXPECT_EQ(offset, 45);
  XmlRpcValue third(xml, &offset);
  EXPECT_EQ(offset, static_cast<int>(xml.size()));
  EXPECT_EQ(first, XmlRpcValue(1));
  EXPECT_EQ(second, XmlRpcValue("two"));
  EXPECT_EQ(third, XmlRpcValue(3.0));
}

TEST(ValueXml, DoubleFormatIsOneSettingForAllLaterWrites) {
  DoubleFormatGuard restore;
  EXPECT_EQ(XmlRpcValue::getDoubleFormat(), "%f");
  XmlRpcValue::setDoubleFormat("%.3e");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(), "<value><double>1.500e+00</double></value>");
}

TEST(ValueXml, DoubleLongerThanBufferIsWrittenInFull) {
  char expected[400];
  const int length = std::snprintf(expected, sizeof expected, "%f", 1e300);
  ASSERT_GT(length, 254);
  const std::string xml = XmlRpcValue(1e300).toXml();
  EXPECT_EQ(xml, std::string("<value><double>") + expected + "</double></value>");
  int offset = 0;
  XmlRpcValue back(xml, &offset);
  EXPECT_EQ(back, XmlRpcValue(1e300));

  DoubleFormatGuard restore;
  XmlRpcValue::setDoubleFormat("%.300f");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(),
            "<value><double>1.5" + std::string(299, '0') + "</double></value>");
}

// ---- Nesting ----

enum class Shape { Arrays, Structs, Alternating };

bool structAt(Shape shape, int level) {
  return shape == Shape::Structs || (shape == Shape::Alternating && level % 2 == 1);
}

// `depth` containers around the Int 7, as XML text.
std::string nestedXml(int depth, Shape shape) {
  std::string xml;
  for (int level = 0; level < depth; ++level) {
    xml +=
        structAt(shape, level) ? "<value><struct><member><name>m</name>" : "<value><array><data>";
  }
  xml += "<value><i4>7</i4></value>";
  for (int level = depth - 1; level >= 0; --level) {
    xml += structAt(shape, level) ? "</member></struct></value>" : "</data></array></value>";
  }
  return xml;
}

// The same value, built in code from the outside in.
XmlRpcValue nestedValue(int depth, Shape shape) {
  XmlRpcValue root;
  XmlRpcValue* current = &root;
  for (int level = 0; level < depth; ++level) {
    current = structAt(shape, level) ? &(*current)["m"] : &(*current)[0];
  }
  *current = 7;
  return root;
}

void expectDecodeFails(const std::string& xml) {
  int offset = 0;
  XmlRpcValue v("previous");
  EXPECT_FALSE(v.fromXml(xml, &offset));
  EXPECT_FALSE(v.valid());
  EXPECT_EQ(offset, 0);
}

TEST(ValueXml, NestingUpToTheLimitDecodes) {
  ASSERT_EQ(XmlRpcValue::MAX_NESTING_DEPTH, 1024);
  for (int depth : {200, XmlRpcValue::MAX_NESTING_DEPTH}) {
    for (Shape shape : {Shape::Arrays, Shape::Structs, Shape::Alternating}) {
      const std::string xml = nestedXml(depth, shape);
      int offset = 0;
      XmlRpcValue v(xml, &offset);
      EXPECT_EQ(v, nestedValue(depth, shape));
      EXPECT_EQ(offset, static_cast<int>(xml.size()));
    }
  }
}

TEST(ValueXml, NestingBeyondTheLimitFailsCleanly) {
  for (Shape shape : {Shape::Arrays, Shape::Structs, Shape::Alternating}) {
    expectDecodeFails(nestedXml(XmlRpcValue::MAX_NESTING_DEPTH + 1, shape));
    expectDecodeFails(nestedXml(200000, shape));
  }
  // Too deep is not a malformed element that merely ends the array.
  expectDecodeFails("<value><array><data><value><i4>1</i4></value>" +
                    nestedXml(XmlRpcValue::MAX_NESTING_DEPTH, Shape::Arrays) +
                    "</data></array></value>");
  // The refusal is forgotten once the decode that met it has failed.
  const std::string xml = nestedXml(XmlRpcValue::MAX_NESTING_DEPTH, Shape::Alternating);
  int offset = 0;
  EXPECT_TRUE(XmlRpcValue().fromXml(xml, &offset));
}

TEST(ValueXml, DeepValuesBuiltInCodeAreNotLimited) {
  const XmlRpcValue deep = nestedValue(XmlRpcValue::MAX_NESTING_DEPTH + 1, Shape::Alternating);
  XmlRpcValue copy(deep);
  EXPECT_EQ(copy, deep);
  const std::string xml = copy.toXml();
  EXPECT_EQ(xml, nestedXml(XmlRpcValue::MAX_NESTING_DEPTH + 1, Shape::Alternating));
  expectDecodeFails(xml);
  copy.clear();
}

}  // namespace
