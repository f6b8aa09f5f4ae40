// Values: the model (ownership, coercions, equality, access), the XML-RPC text form
// both ways, the readable form, the tag scanners, entities and base64.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <sstream>

#include "XmlRpc.h"
#include "base64.h"

using namespace XmlRpc;
typedef base64<char> Coder;

namespace {

tm date(int year, int mon, int mday, int hour, int min, int sec) {
  tm t{};
  t.tm_year = year, t.tm_mon = mon, t.tm_mday = mday, t.tm_hour = hour, t.tm_min = min,
  t.tm_sec = sec;
  return t;
}
XmlRpcValue bytes(std::string data) {
  return XmlRpcValue(&data[0], static_cast<int>(data.size()));
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
  return (os << v).good() ? os.str() : "";
}
// What `f` throws: the XmlRpcException's message (code -1), or another exception's kind.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const XmlRpcException& e) {
    return e.getCode() == -1 ? e.getMessage() : "a code";
  } catch (const std::out_of_range&) {
    return "out of range";
  }
  return "none";
}
// `depth` arrays (or structs) around the int 7.
std::string nested(int depth, bool structs = false) {
  std::string xml;
  for (int i = 0; i < depth; ++i)
    xml += structs ? "<value><struct><member><name>m</name>" : "<value><array><data>";
  xml += "<value><i4>7</i4></value>";
  for (int i = 0; i < depth; ++i)
    xml += structs ? "</member></struct></value>" : "</data></array></value>";
  return xml;
}

TEST(ValueModel, AccessGrowsArraysAndStructsAndMisuseThrowsAndLeavesTheValue) {
  XmlRpcValue v, n, s("abc"), st, b, d, t, bin;
  v[2] = 5, v.setSize(1), v.setSize(4), static_cast<int&>(n) = 4;
  const XmlRpcValue& constV = v;
  // clang-format off
  const std::vector<std::string> throws = {thrown([&] { constV[4]; }), thrown([&] { constV[-1]; }),
      thrown([&] { v[-3]; }), thrown([&] { s[0]; }), thrown([&] { XmlRpcValue()[0]; }),
      thrown([&] { static_cast<const XmlRpcValue&>(XmlRpcValue())[0]; }), thrown([&] { v["a"]; }),
      thrown([&] { v[std::string("a")]; }),
      thrown([&] { n.size(); }), thrown([&] { XmlRpcValue(1.5).size(); }),
      thrown([&] { static_cast<void>(static_cast<double&>(n)); })};
  EXPECT_EQ(throws, (std::vector<std::string>{"range error: array index too large", "out of range",
      "out of range", "type error: expected an array", "none", "type error: expected an array",
      "type error: expected a struct", "type error: expected a struct", "type error", "type error",
      "type error"}));
  // clang-format on
  EXPECT_EQ(text(v) + text(n) + text(s), "{,,5,}4abc");
  EXPECT_EQ(XmlRpcValue("abc").size() + bytes("ab").size() + v.size(), 9);
  EXPECT_FALSE(st.hasMember("a") || st.valid() || st[std::string("a")].valid() ||
               st.hasMember("b") || !st.hasMember("a"));
  EXPECT_EQ(st.size(), 1);
  EXPECT_FALSE(static_cast<bool&>(b) || static_cast<double&>(d) ||
               static_cast<std::string&>(t).size() ||
               static_cast<XmlRpcValue::BinaryData&>(bin).size() ||
               static_cast<tm&>(s = XmlRpcValue()).tm_year);
  EXPECT_EQ(text(b) + text(d) + text(t) + text(bin) + text(s), "00   00000T00:00:00");
  b = true, d = 2.5;
  EXPECT_EQ(text(b) + text(d), "12.5");
}

TEST(ValueModel, EqualityComparesTypesThenPayloadsAndCopiesAreDeep) {
  tm day = date(2024, 1, 2, 3, 4, 5), other = day, next = day;
  other.tm_wday = 6, other.tm_isdst = 1, next.tm_mday = 3;
  XmlRpcValue a, b;
  a["a"] = 1, b["b"] = 1;
  // clang-format off
  const std::vector<std::pair<XmlRpcValue, XmlRpcValue>> unequal = {{1, 1.0}, {true, 1}, {false, true},
      {2, 3}, {std::nan(""), std::nan("")}, {"ab", std::string("ab\0", 3)}, {array({1, 2}), array({2, 1})},
      {array({1, 2}), array({1, 2, 3})}, {&day, &next}, {a, b}, {bytes("a"), bytes("b")}};
  // clang-format on
  for (const auto& u : unequal)
    EXPECT_TRUE(u.first != u.second && !(u.first == u.second)) << text(u.first);
  EXPECT_TRUE(XmlRpcValue() == XmlRpcValue() && XmlRpcValue(0.0) == XmlRpcValue(-0.0));
  EXPECT_EQ(XmlRpcValue(&day), XmlRpcValue(&other));
  a["b"] = 1, b["a"] = 1;
  EXPECT_EQ(a, b);
  XmlRpcValue source;
  source[0] = "first", source[1]["k"][0] = 1.5;
  XmlRpcValue copy(source), assigned;
  assigned = source, copy[0] = "changed", assigned[1]["k"][0] = 2.5;
  EXPECT_EQ(text(source) + text(copy) + text(assigned),
            "{first,[k:{1.5}]}{changed,[k:{1.5}]}{first,[k:{2.5}]}");
  XmlRpcValue moved(std::move(copy));
  assigned = std::move(moved);
  EXPECT_EQ(text(assigned) + text(copy) + text(moved), "{changed,[k:{1.5}]}");
  source = static_cast<const XmlRpcValue&>(source);  // from itself, then from its own parts
  source = source[1];
  source = source["k"];
  source = source[0];
  XmlRpcValue s("self");
  s = static_cast<std::string&>(s).c_str();
  EXPECT_EQ(text(source) + text(s), "1.5self");
  std::ostringstream os;
  XmlRpcValue yes(true), n(255);
  os << std::boolalpha << yes << ' ' << std::hex << n;
  EXPECT_EQ(os.str(), "true ff");
}

// Each value's XML text, and its readable form; the text reads back as the same value.
TEST(ValueXml, EachTypeWritesItsExactTextsAndReadsBack) {
  tm day = date(2024, 1, 2, 3, 4, 5), early = date(99, 12, 31, 23, 59, 58),
     big = date(123456, 7, 17, 14, 8, 55);
  XmlRpcValue st, hole;
  st["b&"] = true, st["a"] = array({-0.5, "x"}), hole[1] = 1;
  static_cast<void>(st["c"]);
  const std::string line(72, 'A'), d = "<value><dateTime.iso8601>",
                                   e = "</dateTime.iso8601></value>";
  // clang-format off
  const struct { XmlRpcValue value; std::string xml, readable; bool readsBack; } cases[] = {
      {XmlRpcValue(), "", "", true}, {true, "<value><boolean>1</boolean></value>", "1", true},
      {false, "<value><boolean>0</boolean></value>", "0", true},
      {INT_MIN, "<value><i4>-2147483648</i4></value>", "-2147483648", true},
      {1.0 / 3, "<value><double>0.333333</double></value>", "0.333333", false},
      {1e-7, "<value><double>0.000000</double></value>", "1e-07", false},
      {"a<b>&'\" c", "<value>a&lt;b&gt;&amp;&apos;&quot; c</value>", "a<b>&'\" c", true},
      {&day, d + "20240102T03:04:05" + e, "20240102T03:04:05", true},
      {&early, d + "  991231T23:59:58" + e, "  991231T23:59:58", false},
      {&big, d + "1234560717T14:08:5" + e, "1234560717T14:08:5", false},
      {bytes("foo"), "<value><base64>Zm9v</base64></value>", "Zm9v", true},
      {bytes(std::string(55, '\0')), "<value><base64>" + line + "\nAA==</base64></value>", line + "\nAA==", true},
      {hole, "<value><array><data><value><i4>1</i4></value></data></array></value>", "{,1}", false},
      {st, "<value><struct><member><name>a</name><value><array><data><value><double>-0.500000</double></value>"
           "<value>x</value></data></array></value></member><member><name>b&amp;</name><value><boolean>1"
           "</boolean></value></member><member><name>c</name></member></struct></value>", "[a:{-0.5,x},b&:1,c:]", false}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.toXml(), c.xml);
    EXPECT_EQ(text(c.value), c.readable);
    int offset = 0;
    const XmlRpcValue back(c.xml, &offset);
    EXPECT_EQ(back == c.value, c.readsBack) << c.xml;
  }
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  XmlRpcValue v, emptyArray = array({});
  v["string"] = " <&amp;> 'q' \"t\" \n", v["<odd & name>"] = "", v[""] = 7,
  v["date"] = XmlRpcValue(&day);
  v["binary"] = bytes(all), v["none"] = bytes(""),
  v["array"] = array({1, array({"deep", emptyArray}), 2.25});
  v["flags"] = array({true, false, INT_MAX});
  int start = 0;
  ASSERT_TRUE(v["emptyStruct"].fromXml("<value><struct></struct></value>", &start));
  for (const XmlRpcValue& value : {v, emptyArray}) {
    int offset = 0;
    EXPECT_EQ(XmlRpcValue(value.toXml(), &offset), value);
    EXPECT_EQ(offset, static_cast<int>(value.toXml().size()));
  }
  char expected[400];
  std::snprintf(expected, sizeof expected, "<value><double>%f</double></value>", 1e300);
  EXPECT_EQ(XmlRpcValue(1e300).toXml(), expected);
  XmlRpcValue::setDoubleFormat("%.3e");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(), "<value><double>1.500e+00</double></value>");
  XmlRpcValue::setDoubleFormat("%f");
  EXPECT_EQ(XmlRpcValue::getDoubleFormat(), "%f");
}

// Each row: a text, what it reads as (written out again; "-" when the read fails and
// the offset stays), and where the read ends (-1: at the end of the text).
TEST(ValueXml, ReaderToleratesLooseTextAndFailsWithTheOffsetWhereItWas) {
  const std::string bad =
      "<value><array><data><value><i4>1</i4></value><value><boolean>2</boolean></value>";
  const std::string kept =
      "&#0;&#xD800;&#x110000;&#1114112;&#99999999999999999999;&#;&#x;&#65&#X41;";
  const std::string v = "<value>", ve = "</value>", d = "<dateTime.iso8601>",
                    de = "</dateTime.iso8601>";
  // clang-format off
  const struct { std::string xml, readsAs; int end; } cases[] = {
      {v + "abc" + ve, v + "abc" + ve, -1}, {v + ve, v + ve, -1}, {v + "  " + ve, v + "  " + ve, -1},
      {" \n<value>\n<string>a&amp;b</string></value>tail", v + "a&amp;b" + ve, 42},
      {v + "<int>5</int>" + ve, v + "<i4>5</i4>" + ve, -1}, {v + "<i4> 12 junk" + ve, v + "<i4>12</i4>" + ve, -1},
      {v + "<i4>7<", v + "<i4>7</i4>" + ve, 12}, {v + "<i4>123456789012</i4>" + ve, v + "<i4>2147483647</i4>" + ve, -1},
      {v + "<i4>-99999999999</i4>" + ve, v + "<i4>-2147483648</i4>" + ve, -1},
      {v + "<boolean>+1</boolean>" + ve, v + "<boolean>1</boolean>" + ve, -1},
      {v + "<boolean>00</boolean>" + ve, v + "<boolean>0</boolean>" + ve, -1},
      {v + "<double> -2.5e3</double>" + ve, v + "<double>-2500.000000</double>" + ve, -1},
      {v + d + "20240102T03:04:05Z" + de + ve, v + d + "20240102T03:04:05" + de + ve, -1},
      {v + d + "2024-1 2T 3: 4: 5" + de + ve, v + d + "2024-102T03:04:05" + de + ve, -1},
      {v + d + " 2024010T03:04:05" + de + ve, v + d + "20240100T03:04:05" + de + ve, -1},
      {v + "<base64> Zm\n9v </base64>" + ve, v + "<base64>Zm9v</base64>" + ve, -1},
      {v + "<array><data><value><i4>1</i4></value><value>2</value>",
       v + "<array><data><value><i4>1</i4></value><value>2</value></data></array>" + ve, -1},
      {bad + "</data></array></value>", v + "<array><data><value><i4>1</i4></value></data></array>" + ve,
       static_cast<int>(bad.size())},
      {v + "<struct><member><name>a</name><value><i4>1</i4></value></member><member><name>a</name><value>dup"
       "</value></member><member><value>3</value></member></struct>" + ve, v + "<struct><member><name></name>"
       "<value>3</value></member><member><name>a</name><value><i4>1</i4></value></member></struct>" + ve, -1},
      {nested(1024), nested(1024), -1}, {nested(1024, true), nested(1024, true), -1},
      {v + "<string><![CDATA[a&b<c>]]></string>" + ve, v + "a&amp;b&lt;c&gt;" + ve, -1},
      {v + " <![CDATA[x]]> " + ve, v + " x " + ve, -1},
      {v + "&lt;<![CDATA[&amp;]]]]>&gt;" + ve, v + "&lt;&amp;amp;]]&gt;" + ve, -1},
      {v + "<string><![CDATA[a]]b]]>&amp;<![CDATA[]]></string>" + ve, v + "a]]b&amp;" + ve, -1},
      {v + "<struct><member><name>a&amp;<![CDATA[</name>]]>b<![CDATA[<]]>&#65;</name><value>1</value></member>"
       "</struct>" + ve, v + "<struct><member><name>a&amp;&lt;/name&gt;b&lt;A</name><value>1</value></member>"
       "</struct>" + ve, -1},
      {"<value/><value>x</value>", v + ve, 8}, {v + "<string/>" + ve, v + ve, -1},
      {v + "<base64/>" + ve, v + "<base64></base64>" + ve, -1},
      {v + "<array/>" + ve, v + "<array><data></data></array>" + ve, -1},
      {v + "<array><data/></array>" + ve, v + "<array><data></data></array>" + ve, -1},
      {v + "<struct/>" + ve, v + "<struct></struct>" + ve, -1},
      {v + "<array><data><value/><value>x</value></data></array>" + ve,
       v + "<array><data><value></value><value>x</value></data></array>" + ve, -1},
      {v + "<struct><member> <name/><value>a</value></member><member><name>n</name><value>b</value></member>"
       "</struct>" + ve, v + "<struct><member><name></name><value>a</value></member><member><name>n</name>"
       "<value>b</value></member></struct>" + ve, -1},
      {v + "&#233;&#xE9;&#xe9;&#x1F600;&#65;&#1114111;&#xaA;" + ve,
       v + "\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80" "A\xF4\x8F\xBF\xBF\xC2\xAA" + ve, -1},
      {v + "&amp;#65;&#38;#65;&#38;lt;" + ve, v + "&amp;#65;&amp;#65;&amp;lt;" + ve, -1},
      {v + kept + ve, v + XmlRpcUtil::xmlEncode(kept) + ve, -1}};
  // clang-format on
  // clang-format off
  const std::string failing[] = {"", "abc", "<Value>1</Value>", "<value><boolean>2</boolean></value>",
      "<value><boolean>true</boolean></value>", "<value><i4>x</i4></value>", "<value><double>.</double></value>",
      "<value>no closing", "<value><base64>Zm9v", "<value><dateTime.iso8601>2024-01-02</dateTime.iso8601></value>",
      "<value><nil/></value>", "<value><dateTime.iso8601>20240102T03:04:05", "<value><i4>",
      "<value><array><value><i4>1</i4></value></array></value>",
      "<value><struct><member><name>a</name><value><i4>x</i4></value></member></struct>",
      "<value><struct><member><name>a</name></member></struct></value>", nested(1025), nested(1025, true),
      "<value><![CDATA[abc</value>", "<value><string>a<![CDATA[b]]>c",
      nested(200000), "<value><array><data>" + nested(1024) + "</data></array></value>"};
  // clang-format on
  auto read = [](const std::string& xml, const std::string& readsAs, int end) {
    SCOPED_TRACE(xml.substr(0, 100));
    int offset = 3;
    XmlRpcValue v("previous");
    EXPECT_EQ(v.fromXml("<x>" + xml, &offset), readsAs != "-");
    EXPECT_EQ(readsAs == "-" ? "-" : v.toXml(), readsAs);
    EXPECT_EQ(offset, 3 + (end < 0 ? static_cast<int>(xml.size()) : end));
    EXPECT_TRUE(v.getType() != XmlRpcValue::TypeDateTime || static_cast<tm&>(v).tm_isdst == -1);
  };
  for (const auto& c : cases)
    read(c.xml, c.readsAs, c.end);
  for (const std::string& xml : failing)
    read(xml, "-", 0);
  read(nested(1024, true), nested(1024, true),
       -1);  // a refusal is forgotten with the read that met it
}

TEST(XmlScan, ScannersMoveTheOffsetOnlyOnSuccess) {
  const std::string xml = "x<name>a&amp;<name>b</name>rest</value>", tags = "  <i4>42</i4> <tag";
  int at[6] = {0, 1, 27, 0, 8, 0};
  EXPECT_TRUE(XmlRpcUtil::nextTagIs("<value>", " \n\t<value>x", &at[0]));
  for (std::string failing : {"x<value>", "<VALUE>", "  <val", "\n", " \0<value>"})
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", failing + '\0' + "<value>", &at[5]));
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &at[1]), "a&amp;<name>b");
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &at[2]) + XmlRpcUtil::getNextTag(tags, &at[3]),
            "<i4>");
  EXPECT_EQ(XmlRpcUtil::getNextTag(tags, &at[3]) + XmlRpcUtil::getNextTag(tags, &at[4]), "</i4>");
  EXPECT_EQ(XmlRpcUtil::getNextTag(tags, &at[4]), "<tag");
  EXPECT_EQ(std::vector<int>(at, at + 6), (std::vector<int>{10, 27, 27, 6, 18, 0}));
  for (int start : {15, 16, -1}) {
    int offset = start;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", "<value></value>", &offset) ||
                 XmlRpcUtil::findTag("</value>", "<value></value>", &offset));
    EXPECT_EQ(XmlRpcUtil::parseTag("<value>", "<value></value>", &offset) +
                  XmlRpcUtil::getNextTag("<value></value>", &offset) + std::to_string(offset),
              std::to_string(start));
  }
}

TEST(XmlEntities, OnlyTheFiveCharactersAndTheirEntitiesAreCoded) {
  EXPECT_EQ(XmlRpcUtil::xmlEncode(std::string("a<b>c&d'e\"f\0\xff", 13)),
            std::string("a&lt;b&gt;c&amp;d&apos;e&quot;f\0\xff", 33));
  EXPECT_EQ(
      XmlRpcUtil::xmlDecode("&lt;&gt;&amp;&apos;&quot;a &nbsp; &#60; &LT; &lt &&lt;&amp;lt;&"),
      "<>&'\"a &nbsp; < &LT; &lt &<&lt;&");
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  EXPECT_EQ(XmlRpcUtil::xmlDecode(XmlRpcUtil::xmlEncode(all + "&amp;&lt;&")), all + "&amp;&lt;&");
}

// The coders that write into any sink: line ends, the status of a decode and where it stopped.
TEST(Base64, CodesThroughAnySinkAndTellsWhereDecodingStopped) {
  std::string out;
  int status = -1;
  const std::string zeros(55, '\0');
  Coder::put(zeros.begin(), zeros.end(), std::back_inserter(out), status, Coder::crlf());
  EXPECT_EQ(out, std::string(72, 'A') + "\nAA==");
  // clang-format off
  const std::pair<std::string, std::string> decodings[] = {{"", ":0"}, {" Zm\n9v\r\nYm\tFy ", "foobar:0"},
      {"Z!m*9-v_\x80\xff+/", "foo:2"}, {"Zg==Zm9v", "f:1"}, {"Zm8=Zm9v", "fo:1"}, {"Z=m9v", ":1"},
      {"Zm9vYg", "foo:2"}, {"Zm9vYmF", "foo:2"}};
  // clang-format on
  for (const auto& c : decodings) {
    std::vector<char> bytes;
    auto end = Coder::get(c.first.begin(), c.first.end(), std::back_inserter(bytes), status);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()) + ":" + std::to_string(status), c.second);
    EXPECT_EQ(static_cast<size_t>(end - c.first.begin()),
              status == 1 ? c.first.find('=') + 1 : c.first.size());
  }
}

}  // namespace
