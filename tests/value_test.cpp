// Values: the model (ownership, coercions, equality, access), the XML-RPC text
// form both ways, the readable form, the tag scanners, entities and base64.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "XmlRpc.h"
#include "base64.h"

using namespace XmlRpc;

namespace {

typedef base64<char> Coder;

tm date(int year, int mon, int mday, int hour, int min, int sec) {
  tm t{};
  t.tm_year = year, t.tm_mon = mon, t.tm_mday = mday, t.tm_hour = hour, t.tm_min = min,
  t.tm_sec = sec;
  return t;
}
XmlRpcValue bytes(const std::string& data) {
  return XmlRpcValue(const_cast<char*>(data.data()), static_cast<int>(data.size()));
}
XmlRpcValue array(std::vector<XmlRpcValue> elements) {
  XmlRpcValue v;
  v.setSize(0);
  for (const XmlRpcValue& e : elements)
    v[v.size()] = e;
  return v;
}
std::string text(XmlRpcValue v) {
  std::ostringstream os;
  os << v;
  return os.str();
}
// The message of the XmlRpcException that `f` throws.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const XmlRpcException& e) {
    return e.getMessage() + (e.getCode() == -1 ? "" : " (code)");
  }
  return "nothing thrown";
}
// `depth` containers (arrays, or structs) around the int 7.
std::string nested(int depth, bool structs = false) {
  std::string xml;
  for (int i = 0; i < depth; ++i)
    xml += structs ? "<value><struct><member><name>m</name>" : "<value><array><data>";
  xml += "<value><i4>7</i4></value>";
  for (int i = 0; i < depth; ++i)
    xml += structs ? "</member></struct></value>" : "</data></array></value>";
  return xml;
}

TEST(ValueModel, AccessGrowsArraysAndStructsAndMisuseThrowsLeavingTheValue) {
  XmlRpcValue v, n, s("abc");
  v[2] = 5;
  EXPECT_EQ(text(v), "{,,5}");
  v.setSize(1);
  v.setSize(4);
  EXPECT_EQ(v.size(), 4);
  const XmlRpcValue& constV = v;
  EXPECT_EQ(thrown([&] { constV[4]; }), "range error: array index too large");
  EXPECT_THROW(constV[-1], std::out_of_range);
  EXPECT_THROW(v[-3], std::out_of_range);
  EXPECT_EQ(thrown([&] { s[0]; }), "type error: expected an array");
  EXPECT_EQ(thrown([&] { XmlRpcValue()[0]; }), "nothing thrown");
  EXPECT_EQ(thrown([&] { static_cast<const XmlRpcValue&>(XmlRpcValue())[0]; }),
            "type error: expected an array");
  EXPECT_EQ(thrown([&] { v["a"]; }), "type error: expected a struct");
  EXPECT_EQ(thrown([&] { n.size(); }), "type error");
  EXPECT_EQ(thrown([&] { XmlRpcValue(1.5).size(); }), "type error");
  static_cast<int&>(n) = 4;
  EXPECT_EQ(thrown([&] { static_cast<double&>(n) = 1.0; }), "type error");
  EXPECT_EQ(n, XmlRpcValue(4));
  EXPECT_EQ(s, XmlRpcValue("abc"));
  EXPECT_EQ(XmlRpcValue("abc").size() + bytes("ab").size() + array({1, 2}).size(), 7);
  XmlRpcValue st;
  EXPECT_FALSE(st.hasMember("a"));
  EXPECT_FALSE(st.valid());
  EXPECT_FALSE(st["a"].valid());
  EXPECT_TRUE(st.hasMember("a") && !st.hasMember("b"));
  EXPECT_EQ(st.size(), 1);
  XmlRpcValue b, d, t;
  EXPECT_FALSE(static_cast<bool&>(b));
  EXPECT_EQ(static_cast<double&>(d), 0.0);
  EXPECT_EQ(static_cast<std::string&>(t), "");
  EXPECT_EQ(static_cast<XmlRpcValue::BinaryData&>(b = XmlRpcValue()).size(), 0u);
  EXPECT_EQ(static_cast<tm&>(d = XmlRpcValue()).tm_year, 0);
  b = true, d = 2.5;
  EXPECT_EQ(b, XmlRpcValue(true));
  EXPECT_EQ(d, XmlRpcValue(2.5));
}

TEST(ValueModel, EqualityComparesTypesThenPayloadsAndCopiesAreDeep) {
  tm day = date(2024, 1, 2, 3, 4, 5), other = day, next = day;
  other.tm_wday = 6, other.tm_isdst = 1, next.tm_mday = 3;
  XmlRpcValue a, b;
  a["a"] = 1, b["b"] = 1;
  const std::vector<std::pair<XmlRpcValue, XmlRpcValue>> unequal = {
      {1, 1.0},
      {true, 1},
      {std::nan(""), std::nan("")},
      {"ab", std::string("ab\0", 3)},
      {array({1, 2}), array({2, 1})},
      {array({1, 2}), array({1, 2, 3})},
      {&day, &next},
      {a, b},
      {bytes("a"), bytes("b")},
      {false, true},
      {2, 3}};
  for (const auto& u : unequal)
    EXPECT_NE(u.first, u.second) << text(u.first);
  EXPECT_EQ(XmlRpcValue(), XmlRpcValue());
  EXPECT_EQ(XmlRpcValue(0.0), XmlRpcValue(-0.0));
  EXPECT_EQ(XmlRpcValue(&day), XmlRpcValue(&other));
  a["b"] = 1, b["a"] = 1;
  EXPECT_EQ(a, b);

  XmlRpcValue source;
  source[0] = "first";
  source[1]["k"][0] = 1.5;
  XmlRpcValue copy(source), assigned;
  assigned = source;
  copy[0] = "changed";
  assigned[1]["k"][0] = 2.5;
  EXPECT_EQ(text(source), "{first,[k:{1.5}]}");
  EXPECT_EQ(text(copy) + text(assigned), "{changed,[k:{1.5}]}{first,[k:{2.5}]}");
  XmlRpcValue moved(std::move(copy));
  EXPECT_FALSE(copy.valid());
  assigned = std::move(moved);
  EXPECT_EQ(text(assigned), "{changed,[k:{1.5}]}");
  source = static_cast<const XmlRpcValue&>(source);
  source = source[1];
  source = source["k"];
  source = source[0];
  EXPECT_EQ(source, XmlRpcValue(1.5));
  XmlRpcValue s("self");
  s = static_cast<std::string&>(s).c_str();
  EXPECT_EQ(s, XmlRpcValue("self"));
  s.clear();
  EXPECT_FALSE(s.valid());
}

TEST(ValueText, WritesTheCompactFormOfEachType) {
  tm when = date(1998, 7, 17, 14, 8, 55), huge = date(123456, 7, 17, 14, 8, 55);
  XmlRpcValue st, invalidMember, two;
  st["b"] = 2, st["a"] = array({1, 2});
  static_cast<void>(invalidMember["x"]);
  two.setSize(2);
  const std::vector<std::pair<XmlRpcValue, std::string>> cases = {
      {XmlRpcValue(), ""},
      {true, "1"},
      {1.0 / 3, "0.333333"},
      {"a<b,&c", "a<b,&c"},
      {&when, "19980717T14:08:55"},
      {&huge, "1234560717T14:08:5"},
      {bytes(std::string(55, '\0')), std::string(72, 'A') + "\nAA=="},
      {array({}), "{}"},
      {two, "{,}"},
      {st, "[a:{1,2},b:2]"},
      {invalidMember, "[x:]"}};
  for (const auto& c : cases)
    EXPECT_EQ(text(c.first), c.second);
  std::ostringstream os;
  XmlRpcValue yes(true), n(255);
  os << std::boolalpha << yes << ' ' << std::hex << n;
  EXPECT_EQ(os.str(), "true ff");
}

TEST(ValueXml, WritesTheExactTextOfEachTypeAndReadsItBack) {
  tm day = date(2024, 1, 2, 3, 4, 5), early = date(99, 12, 31, 23, 59, 58),
     big = date(123456, 7, 17, 14, 8, 55);
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  XmlRpcValue st, withHole;
  st["b&"] = true, st["a"] = -0.5;
  static_cast<void>(st["c"]);
  withHole[0] = 1, withHole[2] = "x";
  const std::vector<std::pair<XmlRpcValue, std::string>> cases = {
      {XmlRpcValue(), ""},
      {true, "<value><boolean>1</boolean></value>"},
      {false, "<value><boolean>0</boolean></value>"},
      {INT_MIN, "<value><i4>-2147483648</i4></value>"},
      {1.5, "<value><double>1.500000</double></value>"},
      {1e-7, "<value><double>0.000000</double></value>"},
      {"a<b>&'\" c", "<value>a&lt;b&gt;&amp;&apos;&quot; c</value>"},
      {&day, "<value><dateTime.iso8601>20240102T03:04:05</dateTime.iso8601></value>"},
      {&early, "<value><dateTime.iso8601>  991231T23:59:58</dateTime.iso8601></value>"},
      {&big, "<value><dateTime.iso8601>1234560717T14:08:5</dateTime.iso8601></value>"},
      {bytes("foo"), "<value><base64>Zm9v</base64></value>"},
      {bytes(std::string(55, '\0')),
       "<value><base64>" + std::string(72, 'A') + "\nAA==</base64></value>"},
      {withHole,
       "<value><array><data><value><i4>1</i4></value><value>x</value></data></array></value>"},
      {st,
       "<value><struct><member><name>a</name><value><double>-0.500000</double></value></"
       "member><member><name>"
       "b&amp;</name><value><boolean>1</boolean></value></member><member><name>c</name></member></"
       "struct></value>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.first.toXml(), c.second);
  XmlRpcValue v, emptyArray = array({});
  v["string"] = " <&amp;> 'q' \"t\" \n", v["<odd & name>"] = "", v[""] = 7;
  v["date"] = XmlRpcValue(&day), v["binary"] = bytes(all), v["none"] = bytes("");
  v["array"] = array({1, array({"deep", emptyArray}), 2.25}),
  v["flags"] = array({true, false, INT_MAX});
  int start = 0;
  ASSERT_TRUE(v["emptyStruct"].fromXml("<value><struct></struct></value>", &start));
  for (const XmlRpcValue& value : {v, emptyArray}) {
    const std::string xml = value.toXml();
    int offset = 0;
    XmlRpcValue back(xml, &offset);
    EXPECT_EQ(back, value);
    EXPECT_EQ(offset, static_cast<int>(xml.size()));
  }
  char expected[400];
  std::snprintf(expected, sizeof expected, "%f", 1e300);
  EXPECT_EQ(XmlRpcValue(1e300).toXml(),
            std::string("<value><double>") + expected + "</double></value>");
  XmlRpcValue::setDoubleFormat("%.3e");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(), "<value><double>1.500e+00</double></value>");
  XmlRpcValue::setDoubleFormat("%f");
  EXPECT_EQ(XmlRpcValue::getDoubleFormat(), "%f");
}

TEST(ValueXml, ReaderToleratesLooseTextAndFailsWithTheOffsetWhereItWas) {
  tm day = date(2024, 1, 2, 3, 4, 5), spaced = date(2024, -1, 2, 3, 4, 5);
  XmlRpcValue firstWins;
  firstWins["a"] = 1, firstWins[""] = 3;
  // 1024 arrays or structs around 7: the deepest value a reply may hold.
  auto deep = [](bool structs) {
    XmlRpcValue v = 7;
    for (int i = 0; i < 1024; ++i) {
      XmlRpcValue outer;
      (structs ? outer["m"] : outer[0]) = std::move(v);
      v = std::move(outer);
    }
    return v;
  };
  const std::string bad =
      "<value><array><data><value><i4>1</i4></value><value><boolean>2</boolean></value>";
  const struct {
    std::string xml;
    XmlRpcValue expected;  // invalid: the read fails
    int end;               // offset after the read; -1 for the end of the text
  } cases[] = {
      {"<value>abc</value>", "abc", 18},
      {"<value></value>", "", 15},
      {"<value>  </value>", "  ", 17},
      {" \n<value>\n<string>a&amp;b</string></value>tail", "a&b", 42},
      {"<value><int>5</int></value>", 5, 27},
      {"<value><i4> 12 junk</value>", 12, 27},
      {"<value><i4>7<", 7, 12},
      {"<value><i4>123456789012</i4></value>", INT_MAX, -1},
      {"<value><i4>-99999999999</i4></value>", INT_MIN, -1},
      {"<value><boolean>+1</boolean></value>", true, -1},
      {"<value><boolean>00</boolean></value>", false, -1},
      {"<value><double> -2.5e3</double></value>", -2500.0, -1},
      {"<value><dateTime.iso8601>20240102T03:04:05Z</dateTime.iso8601></value>", &day, -1},
      {"<value><dateTime.iso8601>2024-1 2T 3: 4: 5</dateTime.iso8601></value>", &spaced, -1},
      {"<value><base64> Zm\n9v </base64></value>", bytes("foo"), -1},
      {"<value><array><data><value><i4>1</i4></value><value>2</value>", array({1, "2"}), -1},
      {bad + "</data></array></value>", array({1}), static_cast<int>(bad.size())},
      {"<value><struct><member><name>a</name><value><i4>1</i4></value></member><member><name>a</"
       "name><value>dup"
       "</value></member><member><value><i4>3</i4></value></member></struct></value>",
       firstWins, -1},
      {"", {}, 0},
      {"abc", {}, 0},
      {"<Value>1</Value>", {}, 0},
      {"<value><boolean>2</boolean></value>", {}, 0},
      {"<value><boolean>true</boolean></value>", {}, 0},
      {"<value><i4>x</i4></value>", {}, 0},
      {"<value><double>.</double></value>", {}, 0},
      {"<value>no closing", {}, 0},
      {"<value><base64>Zm9v", {}, 0},
      {"<value><dateTime.iso8601>2024-01-02</dateTime.iso8601></value>", {}, 0},
      {"<value><nil/></value>", {}, 0},
      {"<value><dateTime.iso8601>20240102T03:04:05", {}, 0},
      {"<value><i4>", {}, 0},
      {"<value><array><value><i4>1</i4></value></array></value>", {}, 0},
      {"<value><struct><member><name>a</name><value><i4>x</i4></value></member></struct></value>",
       {},
       0},
      {"<value><struct><member><name>a</name></member></struct></value>", {}, 0},
      {nested(1024), deep(false), -1},
      {nested(1025), {}, 0},
      {nested(1025, true), {}, 0},
      {nested(200000), {}, 0},
      {"<value><array><data>" + nested(1024) + "</data></array></value>", {}, 0},
      {nested(1024, true), deep(true), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml.substr(0, 120));
    int offset = 3;
    XmlRpcValue v("previous");
    EXPECT_EQ(v.fromXml("<x>" + c.xml, &offset), c.expected.valid());
    EXPECT_EQ(v, c.expected);
    EXPECT_EQ(offset, 3 + (c.end < 0 ? static_cast<int>(c.xml.size()) : c.end));
    EXPECT_TRUE(v.getType() != XmlRpcValue::TypeDateTime || static_cast<tm&>(v).tm_isdst == -1);
  }
}

TEST(XmlScan, ScannersMoveTheOffsetOnlyOnSuccess) {
  int offset = 0;
  EXPECT_TRUE(XmlRpcUtil::nextTagIs("<value>", " \n\t<value>x", &offset));
  EXPECT_EQ(offset, 10);
  for (const std::string& xml :
       std::vector<std::string>{"x<value>", "<VALUE>", "  <val", "\n", {" \0<value>", 9}}) {
    offset = 0;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", xml, &offset));
    EXPECT_EQ(offset, 0);
  }
  const std::string xml = "x<name>a&amp;<name>b</name>rest</value>";
  offset = 1;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &offset), "a&amp;<name>b");
  EXPECT_EQ(offset, 27);
  EXPECT_TRUE(XmlRpcUtil::findTag("</value>", xml, &offset));
  EXPECT_EQ(offset, 39);
  offset = 27;
  EXPECT_FALSE(XmlRpcUtil::findTag("</name>", xml, &offset));
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &offset), "");
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", "<name>abc", &offset), "");
  EXPECT_EQ(offset, 27);
  offset = 0;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", "<name></name>", &offset), "");
  EXPECT_EQ(offset, 13);
  offset = 0;
  EXPECT_EQ(XmlRpcUtil::getNextTag("  <i4>42</i4> <tag", &offset), "<i4>");
  EXPECT_EQ(XmlRpcUtil::getNextTag("  <i4>42</i4> <tag", &offset), "");
  EXPECT_EQ(offset, 6);
  offset = 8;
  EXPECT_EQ(XmlRpcUtil::getNextTag("  <i4>42</i4> <tag", &offset), "</i4>");
  EXPECT_EQ(XmlRpcUtil::getNextTag("  <i4>42</i4> <tag", &offset), "<tag");
  EXPECT_EQ(offset, 18);
  for (int start : {15, 16, -1}) {
    offset = start;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", "<value></value>", &offset) ||
                 XmlRpcUtil::findTag("</value>", "<value></value>", &offset));
    EXPECT_EQ(XmlRpcUtil::parseTag("<value>", "<value></value>", &offset), "");
    EXPECT_EQ(XmlRpcUtil::getNextTag("<value></value>", &offset), "");
    EXPECT_EQ(offset, start);
  }
}

TEST(XmlEntities, OnlyTheFiveCharactersAndTheirEntitiesAreCoded) {
  EXPECT_EQ(XmlRpcUtil::xmlEncode("a<b>c&d'e\"f"), "a&lt;b&gt;c&amp;d&apos;e&quot;f");
  EXPECT_EQ(XmlRpcUtil::xmlEncode(std::string("<\0\x01\xff", 4)), std::string("&lt;\0\x01\xff", 7));
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&lt;&gt;&amp;&apos;&quot;"), "<>&'\"");
  EXPECT_EQ(XmlRpcUtil::xmlDecode("a &nbsp; &#60; &LT; &lt &&lt;&amp;lt;&"),
            "a &nbsp; &#60; &LT; &lt &<&lt;&");
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  EXPECT_EQ(XmlRpcUtil::xmlDecode(XmlRpcUtil::xmlEncode(all + "&amp;&lt;&")), all + "&amp;&lt;&");
}

TEST(Base64, EncodesLinesOf54BytesAndDecodesSkippingOtherCharacters) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<char> alphabetBytes;
  int status = -1;
  Coder::get(alphabet.begin(), alphabet.end(), std::back_inserter(alphabetBytes), status);
  const std::string line(72, 'A');
  const std::pair<std::string, std::string> encodings[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foobar", "Zm9vYmFy"},
      {std::string(alphabetBytes.begin(), alphabetBytes.end()), alphabet},
      {std::string(54, '\0'), line + "\n"},
      {std::string(55, '\0'), line + "\nAA=="},
      {std::string(108, '\0'), line + "\n" + line + "\n"}};
  for (const auto& c : encodings) {
    std::string out;
    Coder::put(c.first.begin(), c.first.end(), std::back_inserter(out), status, Coder::crlf());
    EXPECT_EQ(out, c.second);
    std::string appended = "x";
    Coder::putAppend(c.first.data(), c.first.size(), appended);
    EXPECT_EQ(appended, "x" + c.second);
  }
  const std::pair<std::string, std::string> decodings[] = {{"", ":0"},
                                                           {" Zm\n9v\r\nYm\tFy ", "foobar:0"},
                                                           {"Z!m*9-v_\x80\xff", "foo:0"},
                                                           {"Zg==Zm9v", "f:1"},
                                                           {"Zm8=Zm9v", "fo:1"},
                                                           {"Z=m9v", ":1"},
                                                           {"Zm9vYg", "foo:2"},
                                                           {"Zm9vYmF", "foo:2"}};
  for (const auto& c : decodings) {
    std::vector<char> out, appended;
    auto end = Coder::get(c.first.begin(), c.first.end(), std::back_inserter(out), status);
    EXPECT_EQ(std::string(out.begin(), out.end()) + ":" + std::to_string(status), c.second)
        << c.first;
    EXPECT_EQ(end - c.first.begin(), status == 1 ? static_cast<long>(c.first.find('=') + 1)
                                                 : static_cast<long>(c.first.size()));
    Coder::getAppend(c.first.data(), c.first.data() + c.first.size(), appended);
    EXPECT_EQ(appended, out);
  }
}

}  // namespace
