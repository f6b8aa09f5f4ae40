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

constexpr int LIMIT = XmlRpcValue::MAX_NESTING_DEPTH;

tm makeTm(int year, int mon, int mday, int hour, int min, int sec) {
  tm t{};
  t.tm_year = year, t.tm_mon = mon, t.tm_mday = mday;
  t.tm_hour = hour, t.tm_min = min, t.tm_sec = sec;
  return t;
}

XmlRpcValue bytes(const std::string& data) {
  return XmlRpcValue(const_cast<char*>(data.data()), static_cast<int>(data.size()));
}

// Decoding `xml` fails, leaves the value invalid and the offset where it was.
void expectDecodeFails(const std::string& xml, int start = 0) {
  int offset = start;
  XmlRpcValue v("previous");
  EXPECT_FALSE(v.fromXml(xml, &offset)) << xml.substr(0, 200);
  EXPECT_FALSE(v.valid());
  EXPECT_EQ(offset, start);
}

TEST(ValueXml, WritesTheExactTextOfEachType) {
  tm date = makeTm(2024, 1, 2, 3, 4, 5), early = makeTm(99, 12, 31, 23, 59, 58);
  tm huge = makeTm(123456, 7, 17, 14, 8, 55);
  XmlRpcValue array, st;
  array[0] = 1;
  array[2] = "x";
  st["b&"] = true;
  st["a"] = -0.5;
  static_cast<void>(st["c"]);
  const std::string line(72, 'A');
  const std::vector<std::pair<XmlRpcValue, std::string>> cases = {
      {XmlRpcValue(), ""},
      {true, "<value><boolean>1</boolean></value>"},
      {false, "<value><boolean>0</boolean></value>"},
      {-7, "<value><i4>-7</i4></value>"},
      {1.5, "<value><double>1.500000</double></value>"},
      {1e-7, "<value><double>0.000000</double></value>"},
      {"a<b>&'\" c", "<value>a&lt;b&gt;&amp;&apos;&quot; c</value>"},
      {&date, "<value><dateTime.iso8601>20240102T03:04:05</dateTime.iso8601></value>"},
      {&early, "<value><dateTime.iso8601>  991231T23:59:58</dateTime.iso8601></value>"},
      {&huge, "<value><dateTime.iso8601>1234560717T14:08:5</dateTime.iso8601></value>"},
      {bytes("foo"), "<value><base64>Zm9v</base64></value>"},
      {bytes(std::string(55, '\0')), "<value><base64>" + line + "\nAA==</base64></value>"},
      {array,
       "<value><array><data><value><i4>1</i4></value><value>x</value></data></array></value>"},
      {st,
       "<value><struct><member><name>a</name><value><double>-0.500000</double></value></member>"
       "<member><name>b&amp;</name><value><boolean>1</boolean></value></member>"
       "<member><name>c</name></member></struct></value>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.first.toXml(), c.second);
}

TEST(ValueXml, EveryTypeSurvivesARoundTrip) {
  std::string allBytes;
  for (int c = 0; c < 256; ++c)
    allBytes += static_cast<char>(c);
  tm date = makeTm(1998, 7, 17, 14, 8, 55);
  XmlRpcValue v, emptyArray;
  emptyArray.setSize(0);
  v["bool"] = true;
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
  v["array"][2] = emptyArray;
  int start = 0;
  ASSERT_TRUE(v["emptyStruct"].fromXml("<value><struct></struct></value>", &start));

  for (const XmlRpcValue& value : {v, emptyArray}) {
    const std::string xml = value.toXml();
    int offset = 0;
    XmlRpcValue back(xml, &offset);
    EXPECT_EQ(back, value);
    EXPECT_EQ(offset, static_cast<int>(xml.size()));
    EXPECT_EQ(back.toXml(), xml);
  }
}

TEST(ValueXml, ReaderToleratesLooseButUsableText) {
  XmlRpcValue one, two, firstWins;
  one[0] = 1;
  two[0] = 1;
  two[1] = 2;
  firstWins["a"] = 1;
  firstWins[""] = 3;
  tm date = makeTm(2024, 1, 2, 3, 4, 5);
  const std::string badElement =
      "<value><array><data><value><i4>1</i4></value><value><boolean>2</boolean></value>";
  struct Case {
    std::string xml;
    XmlRpcValue expected;
    int end;  // offset after the read; -1 for the end of the text
  };
  const std::vector<Case> cases = {
      {"<value>abc</value>", "abc", 18},
      {"<value></value>", "", 15},
      {"<value>  </value>", "  ", 17},
      {" \n<value>\n<string>a&amp;b</string></value>tail", "a&b", 42},
      {"<value><int>5</int></value>", 5, 27},
      {"<value><i4> 12 junk</value>", 12, 27},
      {"<value><i4>7<", 7, 12},
      {"<value><i4>99999999999</i4></value>", INT_MAX, 35},
      {"<value><i4>-99999999999</i4></value>", INT_MIN, 36},
      {"<value><boolean>+1</boolean></value>", true, 36},
      {"<value><boolean>00</boolean></value>", false, 36},
      {"<value><double> -2.5e3</double></value>", -2500.0, 39},
      {"<value><dateTime.iso8601>20240102T03:04:05Z</dateTime.iso8601></value>", &date, -1},
      {"<value><base64> Zm\n9v </base64></value>", bytes("foo"), 39},
      {"<value><array><data><value><i4>1</i4></value><value><i4>2</i4>", two, 57},
      // A malformed element ends the array.
      {badElement + "</data></array></value>", one, static_cast<int>(badElement.size())},
      // A repeated name keeps the first member; a missing name is the empty one.
      {"<value><struct><member><name>a</name><value><i4>1</i4></value></member>"
       "<member><name>a</name><value>dup</value></member>"
       "<member><value><i4>3</i4></value></member></struct></value>",
       firstWins, -1},
  };
  for (const Case& c : cases) {
    int offset = 0;
    XmlRpcValue v;
    EXPECT_TRUE(v.fromXml(c.xml, &offset)) << c.xml;
    EXPECT_EQ(v, c.expected) << c.xml;
    EXPECT_EQ(offset, c.end < 0 ? static_cast<int>(c.xml.size()) : c.end) << c.xml;
    EXPECT_TRUE(v.getType() != XmlRpcValue::TypeDateTime || static_cast<tm&>(v).tm_isdst == -1);
  }
}

TEST(ValueXml, MalformedValuesFailWithTheOffsetWhereItWas) {
  for (const char* body : {
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
           "<value><struct><member><name>a</name><value><i4>x</i4></value></member></struct>"
           "</value>",
           "<value><struct><member><name>a</name></member></struct></value>",
       }) {
    expectDecodeFails(std::string("<x>") + body, 3);
  }
}

TEST(ValueXml, DoublesFollowTheFormatAndAreNeverCut) {
  char expected[400];
  ASSERT_GT(std::snprintf(expected, sizeof expected, "%f", 1e300), 254);
  const std::string xml = XmlRpcValue(1e300).toXml();
  EXPECT_EQ(xml, std::string("<value><double>") + expected + "</double></value>");
  int offset = 0;
  EXPECT_EQ(XmlRpcValue(xml, &offset), XmlRpcValue(1e300));

  EXPECT_EQ(XmlRpcValue::getDoubleFormat(), "%f");
  XmlRpcValue::setDoubleFormat("%.3e");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(), "<value><double>1.500e+00</double></value>");
  XmlRpcValue::setDoubleFormat("%.300f");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(),
            "<value><double>1.5" + std::string(299, '0') + "</double></value>");
  XmlRpcValue::setDoubleFormat("%f");
}

// ---- Nesting ----

enum class Shape { Arrays, Structs, Alternating };

bool structAt(Shape shape, int level) {
  return shape == Shape::Structs || (shape == Shape::Alternating && level % 2 == 1);
}

// `depth` containers around the Int 7, as XML text.
std::string nestedXml(int depth, Shape shape) {
  std::string xml;
  for (int level = 0; level < depth; ++level)
    xml +=
        structAt(shape, level) ? "<value><struct><member><name>m</name>" : "<value><array><data>";
  xml += "<value><i4>7</i4></value>";
  for (int level = depth - 1; level >= 0; --level)
    xml += structAt(shape, level) ? "</member></struct></value>" : "</data></array></value>";
  return xml;
}

TEST(ValueXml, NestingUpToTheLimitDecodesAndBeyondItFailsCleanly) {
  ASSERT_EQ(LIMIT, 1024);
  for (Shape shape : {Shape::Arrays, Shape::Structs, Shape::Alternating}) {
    for (int depth : {200, LIMIT}) {
      const std::string xml = nestedXml(depth, shape);
      int offset = 0;
      EXPECT_EQ(XmlRpcValue(xml, &offset).toXml(), xml);
      EXPECT_EQ(offset, static_cast<int>(xml.size()));
    }
    expectDecodeFails(nestedXml(LIMIT + 1, shape));
    expectDecodeFails(nestedXml(200000, shape));
  }
  // Too deep is not a malformed element that merely ends the array.
  expectDecodeFails("<value><array><data><value><i4>1</i4></value>" +
                    nestedXml(LIMIT, Shape::Arrays) + "</data></array></value>");
  // The refusal is forgotten once the decode that met it has failed.
  int offset = 0;
  EXPECT_TRUE(XmlRpcValue().fromXml(nestedXml(LIMIT, Shape::Alternating), &offset));
}

TEST(ValueXml, DeepValuesBuiltInCodeAreNotLimited) {
  const std::string xml = nestedXml(LIMIT, Shape::Arrays);
  int offset = 0;
  XmlRpcValue deep;
  deep[0] = XmlRpcValue(xml, &offset);
  const XmlRpcValue copy(deep);
  EXPECT_EQ(copy, deep);
  EXPECT_EQ(copy.toXml(), nestedXml(LIMIT + 1, Shape::Arrays));
}

}  // namespace
