// Values: the model (ownership, coercions, access), the XML-RPC text form both ways and the
// readable form.
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "XmlRpc.h"

using namespace XmlRpc;

namespace {

tm date(int year, int mon, int mday, int hour, int min, int sec) {
  return tm{sec, min, hour, mday, mon, year, 0, 0, 0, 0, nullptr};
}
XmlRpcValue bytes(std::string data) {
  return XmlRpcValue(&data[0], static_cast<int>(data.size()));
}
std::string text(const XmlRpcValue& v) {
  std::ostringstream os;
  return (os << v).good() ? os.str() : "";
}
// A value of any type, with arrays and structs up to `depth` deep, texts that need escaping
// and doubles of every size, most of which "%f" cannot carry.
XmlRpcValue randomValue(std::mt19937& rng, int depth) {
  auto below = [&](unsigned n) { return static_cast<int>(rng() % n); };
  auto someText = [&] {
    const char* const pieces[] = {"a", " ", "\r\n\t", "<", ">", "&", "'", "\"", "]]>", "\xc3\xa9"};
    std::string s;
    for (int n = below(8); n > 0; --n)
      s += pieces[below(10)];
    return s;
  };
  std::string data(below(100), '\0');
  for (char& c : data)
    c = static_cast<char>(rng());
  tm t = date(1000 + below(9000), 1 + below(12), 1 + below(28), below(24), below(60), below(60));
  const XmlRpcValue scalars[] = {below(2) == 1,
                                 static_cast<int>(rng()),
                                 std::ldexp(static_cast<int>(rng()), 40 - below(1120)),
                                 someText(),
                                 &t,
                                 bytes(data),
                                 XmlRpcValue::nil()};
  const int type = below(depth > 0 ? 9 : 7);
  if (type < 7) return scalars[type];
  int offset = 0;
  XmlRpcValue v(type == 7 ? "<value><array><data/></array></value>" : "<value><struct/></value>",
                &offset);
  for (int n = below(4); n > 0; --n)
    (type == 7 ? v[v.size()] : v[someText()]) = randomValue(rng, depth - 1);
  return v;
}
// A double's text as the writer gave it before it wrote most of them in one conversion:
// "%f" when that reads back, else the fewest significant digits that do, found by halving.
std::string searchedSixPlaces(double v) {
  char f[400], e[32];
  std::snprintf(f, sizeof f, "%f", v);
  if (v != v || std::strtod(f, nullptr) == v) return f;
  int low = 0, high = 16;
  while (low < high) {
    const int middle = (low + high) / 2;
    std::snprintf(e, sizeof e, "%.*e", middle, v);
    if (std::strtod(e, nullptr) == v)
      high = middle;
    else
      low = middle + 1;
  }
  std::snprintf(e, sizeof e, "%.*e", low, v);
  const bool minus = e[0] == '-';
  std::string digits = e[minus] + (low > 0 ? std::string(e + minus + 2, low) : "");
  const int exponent = std::atoi(std::strchr(e, 'e') + 1);
  const std::string sign = minus ? "-" : "";
  if (exponent < 0) return sign + "0." + std::string(-exponent - 1, '0') + digits;
  const size_t whole = static_cast<size_t>(exponent) + 1;
  digits.resize(std::max(digits.size(), whole), '0');
  return sign + digits.substr(0, whole) + (digits.size() > whole ? "." + digits.substr(whole) : "");
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
  XmlRpcValue v, n(4), s("abc"), st, b, t;
  v[2] = 5;
  v.setSize(1);
  v.setSize(4);
  const XmlRpcValue& constV = v;
  // clang-format off
  const std::vector<std::string> throws = {thrown([&] { constV[4]; }), thrown([&] { constV[-1]; }),
      thrown([&] { v[-3]; }), thrown([&] { s[0]; }), thrown([&] { XmlRpcValue()[0]; }),
      thrown([&] { static_cast<const XmlRpcValue&>(XmlRpcValue())[0]; }), thrown([&] { v["a"]; }),
      thrown([&] { n.size(); }), thrown([&] { static_cast<void>(static_cast<double&>(n)); })};
  EXPECT_EQ(throws, (std::vector<std::string>{"range error: array index too large", "out of range",
      "out of range", "type error: expected an array", "none", "type error: expected an array",
      "type error: expected a struct", "type error", "type error"}));
  // clang-format on
  EXPECT_EQ(text(v) + text(n) + text(s), "{,,5,}4abc");
  EXPECT_EQ(XmlRpcValue("abc").size() + bytes("ab").size() + v.size(), 9);
  EXPECT_FALSE(st.hasMember("a") || st[std::string("a")].valid() || !st.hasMember("a"));
  EXPECT_EQ(
      thrown([&] { static_cast<const XmlRpcValue&>(st)["x"]; }) + thrown([&] { constV["x"]; }),
      "range error: no struct member xtype error: expected a struct");
  EXPECT_FALSE(static_cast<bool&>(b) || static_cast<std::string&>(t).size() ||
               static_cast<tm&>(s = XmlRpcValue()).tm_year);
  v = static_cast<const XmlRpcValue&>(v);  // from itself, then from its own parts
  v[1][0]["k"] = 1.5;
  v = v[1];
  v = v[0]["k"];
  EXPECT_EQ(text(b) + text(t) + text(s) + text(v), "0   00000T00:00:001.5");
}

// Values of every type, nested: each reads back from its text, whole, as the same value. A
// const one reads as its own type only, giving itself back; another read throws "type error".
TEST(ValueXml, RandomValuesReadBackFromTheirText) {
  // clang-format off
  XmlRpcValue (*const reads[])(const XmlRpcValue&) = {  // in the order of XmlRpcValue::Type
      [](auto& v) { return XmlRpcValue(bool(v)); }, [](auto& v) { return XmlRpcValue(int(v)); },
      [](auto& v) { return XmlRpcValue(double(v)); }, [](auto& v) { return XmlRpcValue(static_cast<const std::string&>(v)); },
      [](auto& v) { tm t = static_cast<const tm&>(v); return XmlRpcValue(&t); },
      [](auto& v) { auto b = static_cast<const XmlRpcValue::BinaryData&>(v); return XmlRpcValue(b.data(), int(b.size())); }};
  // clang-format on
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    const XmlRpcValue value = randomValue(rng, 4);
    const std::string xml = value.toXml();
    int offset = 0;
    const XmlRpcValue back(" \r\n\t" + xml + "</x>", &offset);
    ASSERT_TRUE(back == value && XmlRpcValue(value) == value) << xml;
    EXPECT_EQ(offset, static_cast<int>(xml.size()) + 4);
    for (int type = XmlRpcValue::TypeBoolean; type <= XmlRpcValue::TypeBase64; ++type)
      try {
        EXPECT_TRUE(reads[type - 1](value) == value && value.getType() == type) << xml;
      } catch (const std::exception& e) {
        EXPECT_TRUE(e.what() == std::string("type error") && value.getType() != type) << xml;
      }
  }
}

// A seeded million doubles of every kind write as the search for the fewest places wrote
// them, and the reader takes each text, and other forms of the number, as strtod does.
TEST(ValueXml, DoublesWriteAsTheSearchDidAndReadAsStrtod) {
  std::mt19937_64 rng(27);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::string xml, want, input;  // kept, so that a sanitizer's allocator has little to do
  XmlRpcValue read;
  auto readsAsStrtod = [&](const char* number) {
    input.assign("<value><double>").append(number).append("</double></value>");
    int offset = 0;
    const double expected = std::strtod(number, nullptr),
                 got = read.fromXml(input, &offset) ? double(read) : 1;
    return std::memcmp(&expected, &got, sizeof got) == 0;
  };
  const double specials[] = {0.0, -0.0, HUGE_VAL, -HUGE_VAL, NAN, -NAN};
  char number[40];
  for (int i = 0; i < 1000000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    switch (i % 6) {
      case 1:  // 1 to 17 digits with the point anywhere, a few places out at most
        std::snprintf(number, sizeof number, "%llue%d",
                      static_cast<unsigned long long>(
                          rng() % static_cast<uint64_t>(std::pow(10, 1 + below(17)))),
                      below(50) - 30);
        d = std::strtod(number, nullptr);
        break;
      case 2:
        d = static_cast<double>(static_cast<int64_t>(bits) >> below(64));
        break;
      case 3:  // a few steps from a power of ten, or of two
      case 4:
        d = i % 6 == 3 ? std::pow(10.0, below(630) - 320) : std::ldexp(1.0, below(2098) - 1074);
        for (int step = below(7) - 3; step != 0; step -= step > 0 ? 1 : -1)
          d = std::nextafter(d, step > 0 ? HUGE_VAL : 0.0);
        break;
      case 5:
        d = specials[below(6)];
    }
    d = bits & 1 ? -d : d;
    const std::string text = searchedSixPlaces(d);
    xml.clear();
    XmlRpcValue(d).toXml(xml);
    ASSERT_EQ(xml, want.assign("<value><double>").append(text).append("</double></value>"));
    std::snprintf(number, sizeof number, i % 3 ? "%.*g" : "%.*a", 1 + below(17), d);
    ASSERT_TRUE(readsAsStrtod(text.c_str()) && readsAsStrtod(number)) << text << " " << number;
  }
}

// The exact text of each type, and its readable form.
TEST(ValueXml, EachTypeWritesItsExactTexts) {
  tm early = date(99, 12, 31, 23, 59, 58), big = date(123456, 7, 17, 14, 8, 55);
  XmlRpcValue st, hole;
  st["b&"] = true;
  st["a"][0] = -0.5;
  st["a"][1] = "x";
  static_cast<void>(st["c"]);
  hole[1] = 1;
  const std::string line(72, 'A'), d = "<value><dateTime.iso8601>",
                                   e = "</dateTime.iso8601></value>";
  // clang-format off
  const struct { XmlRpcValue value; std::string xml, readable; } cases[] = {
      {XmlRpcValue(), "", ""}, {false, "<value><boolean>0</boolean></value>", "0"},
      {INT_MIN, "<value><i4>-2147483648</i4></value>", "-2147483648"},
      {XmlRpcValue::nil(), "<value><nil/></value>", "nil"},
      {"a<b>&'\" c", "<value>a&lt;b&gt;&amp;&apos;&quot; c</value>", "a<b>&'\" c"},
      {&early, d + "  991231T23:59:58" + e, "  991231T23:59:58"},
      {&big, d + "1234560717T14:08:5" + e, "1234560717T14:08:5"},
      {bytes(std::string(55, '\0')), "<value><base64>" + line + "\nAA==</base64></value>", line + "\nAA=="},
      {hole, "<value><array><data><value><i4>1</i4></value></data></array></value>", "{,1}"},
      {st, "<value><struct><member><name>a</name><value><array><data><value><double>-0.500000</double></value>"
           "<value>x</value></data></array></value></member><member><name>b&amp;</name><value><boolean>1"
           "</boolean></value></member><member><name>c</name></member></struct></value>", "[a:{-0.5,x},b&:1,c:]"}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.toXml(), c.xml);
    EXPECT_EQ(text(c.value), c.readable);
  }
  XmlRpcValue::setDoubleFormat("%.3e");
  EXPECT_EQ(XmlRpcValue(1.5).toXml(), "<value><double>1.500e+00</double></value>");
  XmlRpcValue::setDoubleFormat("%f");
  EXPECT_TRUE(XmlRpcValue::nil() != XmlRpcValue() && XmlRpcValue::nil() != XmlRpcValue(""));
}

// Each row: a text, what it reads as (written out again; "-" when the read fails and
// the offset stays), and where the read ends (-1: at the end of the text).
TEST(ValueXml, ReaderToleratesLooseTextAndFailsWithTheOffsetWhereItWas) {
  const std::string bad =
      "<value><array><data><value><i4>1</i4></value><value><boolean>2</boolean></value>";
  const std::string kept =
      "&#0;&#xD800;&#x110000;&#1114112;&#99999999999999999999;&#;&#x;&#65&#X41;";
  const std::string v = "<value>", ve = "</value>", d = "<dateTime.iso8601>",
                    de = "</dateTime.iso8601>", nil = "<value><nil/></value>";
  // clang-format off
  const struct { std::string xml, readsAs; int end; } cases[] = {
      {v + "abc" + ve, v + "abc" + ve, -1}, {v + "  " + ve, v + "  " + ve, -1},
      {" \n<value>\n<string>a&amp;b</string></value>tail", v + "a&amp;b" + ve, 42},
      {v + "<int>5</int>" + ve, v + "<i4>5</i4>" + ve, -1}, {v + "<i4> 12 \n</i4>" + ve, v + "<i4>12</i4>" + ve, -1},
      {v + "<i8>2147483647</i8>" + ve, v + "<i4>2147483647</i4>" + ve, -1},
      {v + "<ex:i8>-2147483648</ex:i8>" + ve, v + "<i4>-2147483648</i4>" + ve, -1},
      {v + "<boolean> true </boolean>" + ve, v + "<boolean>1</boolean>" + ve, -1},
      {v + "<boolean>false</boolean>" + ve, v + "<boolean>0</boolean>" + ve, -1},
      {v + "<boolean>+1</boolean>" + ve, v + "<boolean>1</boolean>" + ve, -1},
      {v + "<double> -2.5e3</double>" + ve, v + "<double>-2500.000000</double>" + ve, -1},
      {v + d + "20240102T03:04:05Z" + de + ve, v + d + "20240102T03:04:05" + de + ve, -1},
      {v + d + " 2024-01-02T03:04:05 " + de + ve, v + d + "20240102T03:04:05" + de + ve, -1},
      {v + d + "2024-01-02T03:04:05.678+00:00" + de + ve, v + d + "20240102T03:04:05" + de + ve, -1},
      {v + d + "2024-01-02T03:04:05-00:00" + de + ve, v + d + "20240102T03:04:05" + de + ve, -1},
      {v + d + "2024-1 2T 3: 4: 5" + de + ve, v + d + "2024-102T03:04:05" + de + ve, -1},
      {v + d + " 2024010T03:04:05" + de + ve, v + d + "20240100T03:04:05" + de + ve, -1},
      {v + "<base64> Zm\n9v </base64>" + ve, v + "<base64>Zm9v</base64>" + ve, -1},
      {v + "<base64>QUJD&#10;REVG</base64>" + ve, v + "<base64>QUJDREVG</base64>" + ve, -1},
      {v + "<array><data><value><nil/></value><value><ex:nil/></value><value><nil />\n</value><value/></data>"
       "</array>" + ve, v + "<array><data>" + nil + nil + nil + v + ve + "</data></array>" + ve, -1},
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
      {"<value/><value>x</value>", v + ve, 8}, {"<value \n/>", v + ve, -1}, {v + "<string />" + ve, v + ve, -1},
      {v + "<base64/>" + ve, v + "<base64></base64>" + ve, -1},
      {v + "<array/>" + ve, v + "<array><data></data></array>" + ve, -1},
      {v + "<array><data /></array>" + ve, v + "<array><data></data></array>" + ve, -1},
      {v + "<struct />" + ve, v + "<struct></struct>" + ve, -1},
      {v + "<array><data><value/><value>x</value></data></array>" + ve,
       v + "<array><data><value></value><value>x</value></data></array>" + ve, -1},
      {v + "<struct><member> <name/><value>a</value></member><member><name>n</name><value>b</value></member>"
       "</struct>" + ve, v + "<struct><member><name></name><value>a</value></member><member><name>n</name>"
       "<value>b</value></member></struct>" + ve, -1},
      {v + "&#233;&#xE9;&#xe9;&#x1F600;&#65;&#1114111;&#xaA;" + ve,
       v + "\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80" "A\xF4\x8F\xBF\xBF\xC2\xAA" + ve, -1},
      {v + "&amp;#65;&#38;#65;&#38;lt;" + ve, v + "&amp;#65;&amp;#65;&amp;lt;" + ve, -1},
      {v + kept + ve, v + XmlRpcUtil::xmlEncode(kept) + ve, -1}};
  const std::string failing[] = {"", "abc", "<Value>1</Value>", "<value><boolean>2</boolean></value>",
      "<value><boolean>True</boolean></value>", "<value><i4>x</i4></value>", "<value><double>.</double></value>",
      v + "<nil ></nil>" + ve, v + "<int>1099511627776</int>" + ve, v + "<i8>-2147483649</i8>" + ve, v + "<i4>7<",
      v + "<int>1.1805916207174113e+21</int>" + ve, v + "<i4> 12 junk" + ve, v + "<double>1.5x</double>" + ve,
      v + "<boolean>1<![CDATA[1]]></boolean>" + ve, v + d + "2024-01-02T03:04:05+01:00" + de + ve,
      v + d + "20240102T03:04:05-05:00" + de + ve, v + d + "2024-01-02T03:04:05 x" + de + ve,
      bad + "</data></array></value>", v + "<array><data><value>1</value>x<value>2</value></data></array>" + ve,
      v + "<array><data><value><array><data></data></array><value>2</value></data></array>" + ve,
      v + "<struct><member><name>a</name><value>1</value></member><value>2</value></struct>" + ve,
      v + "<array><data><value><i4>1</i4></value><value>2</value>",
      "<value>no closing", "<value><base64>Zm9v", "<value><dateTime.iso8601>2024-01-02</dateTime.iso8601></value>",
      "<value><dateTime.iso8601>20240102T03:04:05", "<value><i4>",
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
  read(nested(1024, true), nested(1024, true), -1);  // a refusal is forgotten with its read
}

}  // namespace
