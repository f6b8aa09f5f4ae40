// The value model (ownership, coercions, equality, access) and the readable
// text form of values.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "XmlRpcException.h"
#include "XmlRpcValue.h"

using XmlRpc::XmlRpcException;
using XmlRpc::XmlRpcValue;

namespace {

// Opens up the coercion that makes an empty struct without going through XML.
struct Probe : XmlRpcValue {
  using XmlRpcValue::assertStruct;
};

// The message of the XmlRpcException that `f` throws, checking its code.
template <class F>
std::string thrownMessage(F f) {
  try {
    f();
  } catch (const XmlRpcException& e) {
    EXPECT_EQ(e.getCode(), -1);
    return e.getMessage();
  }
  return "(nothing thrown)";
}

tm makeTm(int year, int mon, int mday, int hour, int min, int sec) {
  tm t{};
  t.tm_year = year, t.tm_mon = mon, t.tm_mday = mday;
  t.tm_hour = hour, t.tm_min = min, t.tm_sec = sec;
  return t;
}

XmlRpcValue ints(std::initializer_list<int> elements) {
  XmlRpcValue array;
  array.setSize(0);
  for (int e : elements)
    array[array.size()] = e;
  return array;
}

std::string text(XmlRpcValue v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

TEST(ValueModel, SizeCountsBytesElementsAndMembersOnly) {
  for (XmlRpcValue v : {XmlRpcValue(), XmlRpcValue(true), XmlRpcValue(1.5), XmlRpcValue(3)})
    EXPECT_EQ(thrownMessage([&] { v.size(); }), "type error");
  char bytes[] = {1, 0, 2, 0};
  EXPECT_EQ(XmlRpcValue("abc").size(), 3);
  EXPECT_EQ(XmlRpcValue(bytes, 4).size(), 4);
  EXPECT_EQ(ints({1, 2}).size(), 2);

  XmlRpcValue v;
  EXPECT_FALSE(v.hasMember("a"));
  EXPECT_FALSE(v.valid()) << "hasMember does not make a struct";
  EXPECT_FALSE(v["a"].valid());
  EXPECT_TRUE(v.hasMember("a"));
  EXPECT_FALSE(v.hasMember("b"));
  EXPECT_EQ(v.size(), 1);
  EXPECT_EQ(thrownMessage([] { ints({1})["a"]; }), "type error: expected a struct");
}

TEST(ValueModel, SubscriptGrowsAnArrayAndItsErrorsLeaveTheValueAsItWas) {
  XmlRpcValue v;
  v[2] = 5;
  ASSERT_EQ(v.getType(), XmlRpcValue::TypeArray);
  EXPECT_EQ(text(v), "{,,5}");
  v.setSize(1);
  EXPECT_EQ(v.size(), 3);
  v.setSize(4);
  EXPECT_EQ(text(v), "{,,5,}");

  XmlRpcValue s("abc");
  EXPECT_EQ(thrownMessage([&] { s[0]; }), "type error: expected an array");
  EXPECT_EQ(s, XmlRpcValue("abc"));
  const XmlRpcValue& constV = v;
  EXPECT_EQ(thrownMessage([&] { constV[4]; }), "range error: array index too large");
  EXPECT_THROW(constV[-1], std::out_of_range);
  EXPECT_THROW(v[-3], std::out_of_range);
  EXPECT_EQ(v.size(), 4);
  const XmlRpcValue invalid;
  EXPECT_EQ(thrownMessage([&] { invalid[0]; }), "type error: expected an array");
  XmlRpcValue fresh;
  EXPECT_THROW(fresh[-1], std::out_of_range);
  EXPECT_EQ(fresh, ints({}));
}

TEST(ValueModel, CastsTurnOnlyInvalidValuesIntoTheirType) {
  XmlRpcValue n, b, date, assigned("text");
  static_cast<int&>(n) = 4;
  EXPECT_EQ(thrownMessage([&] { static_cast<double&>(n) = 1.0; }), "type error");
  EXPECT_EQ(n, XmlRpcValue(4));
  EXPECT_FALSE(static_cast<bool&>(b));
  EXPECT_EQ(b, XmlRpcValue(false));
  static_cast<void>(static_cast<tm&>(date));
  EXPECT_EQ(text(date), "   00000T00:00:00");
  EXPECT_EQ(thrownMessage([&] { static_cast<void>(static_cast<std::string&>(date)); }),
            "type error");
  assigned = true;
  EXPECT_EQ(assigned, XmlRpcValue(true));
  assigned = 2.5;
  EXPECT_EQ(assigned, XmlRpcValue(2.5));
}

TEST(ValueModel, EqualityComparesTypesThenPayloads) {
  EXPECT_EQ(XmlRpcValue(), XmlRpcValue());
  EXPECT_NE(XmlRpcValue(1), XmlRpcValue(1.0));
  EXPECT_NE(XmlRpcValue(true), XmlRpcValue(1));
  EXPECT_NE(XmlRpcValue(std::nan("")), XmlRpcValue(std::nan("")));
  EXPECT_EQ(XmlRpcValue(0.0), XmlRpcValue(-0.0));
  EXPECT_NE(XmlRpcValue("ab"), XmlRpcValue(std::string("ab\0", 3)));
  EXPECT_EQ(ints({1, 2}), ints({1, 2}));
  EXPECT_NE(ints({1, 2}), ints({2, 1}));
  EXPECT_NE(ints({1, 2}), ints({1, 2, 3}));

  // Only the six date fields count.
  tm day1 = makeTm(2024, 1, 2, 3, 4, 5), day2 = makeTm(2024, 1, 3, 3, 4, 5), other = day1;
  other.tm_wday = 6;
  other.tm_isdst = 1;
  EXPECT_NE(XmlRpcValue(&day1), XmlRpcValue(&day2));
  EXPECT_EQ(XmlRpcValue(&day1), XmlRpcValue(&other));
}

TEST(ValueModel, StructsAreEqualOnlyWithTheSameNames) {
  XmlRpcValue a, b;
  a["a"] = 1;
  b["b"] = 1;
  EXPECT_NE(a, b);
  a["b"] = 1;
  b["a"] = 1;
  EXPECT_EQ(a, b);
  a["b"] = 2;
  EXPECT_NE(a, b);
}

TEST(ValueModel, CopiesAreDeepAndIndependentAndMayComeFromTheValueItself) {
  XmlRpcValue source;
  source[0] = "first";
  source[1]["k"][0] = 1.5;
  XmlRpcValue copy(source), assigned;
  assigned = source;
  copy[0] = "changed";
  assigned[1]["k"][0] = 2.5;
  EXPECT_EQ(text(source), "{first,[k:{1.5}]}");
  EXPECT_EQ(text(copy), "{changed,[k:{1.5}]}");
  EXPECT_EQ(text(assigned), "{first,[k:{2.5}]}");
  char bytes[] = {'x', 'y'};
  tm when = makeTm(1998, 7, 17, 14, 8, 55);
  XmlRpcValue binary(bytes, 2), date(&when);
  bytes[0] = 'z';
  when.tm_year = 2000;
  EXPECT_EQ(text(binary), "eHk=");
  EXPECT_EQ(text(date), "19980717T14:08:55");

  const XmlRpcValue& same = source;
  source = same;
  EXPECT_EQ(text(source), "{first,[k:{1.5}]}");
  source = source[1];
  EXPECT_EQ(text(source), "[k:{1.5}]");
  source = source["k"];
  EXPECT_EQ(text(source), "{1.5}");
  source = source[0];
  EXPECT_EQ(source, XmlRpcValue(1.5));
  XmlRpcValue s("self");
  s = static_cast<std::string&>(s).c_str();
  EXPECT_EQ(s, XmlRpcValue("self"));
  s.clear();
  s.clear();
  EXPECT_FALSE(s.valid());
}

TEST(ValueText, WritesTheCompactFormOfEachTypeOnOneLine) {
  tm when = makeTm(1998, 7, 17, 14, 8, 55), huge = when;
  huge.tm_year = 123456;
  std::string zeros(55, '\0');
  XmlRpcValue two, withEmptyString, st, holder, invalidMember;
  two.setSize(2);
  withEmptyString[0] = "";
  st["b"] = 2;
  st["a"] = 1;
  holder["k"] = ints({1, 2});
  static_cast<void>(invalidMember["x"]);
  Probe emptyStruct;
  emptyStruct.assertStruct();
  const std::vector<std::pair<XmlRpcValue, std::string>> cases = {
      {XmlRpcValue(), ""},
      {true, "1"},
      {1.0 / 3, "0.333333"},
      {"a<b,&c", "a<b,&c"},
      {&when, "19980717T14:08:55"},
      {&huge, "1234560717T14:08:5"},
      {XmlRpcValue(&zeros[0], 55), std::string(72, 'A') + "\nAA=="},
      {ints({}), "{}"},
      {ints({1, 2}), "{1,2}"},
      {two, "{,}"},
      {withEmptyString, "{}"},
      {st, "[a:1,b:2]"},
      {holder, "[k:{1,2}]"},
      {invalidMember, "[x:]"},
      {emptyStruct, "[]"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(text(c.first), c.second);

  // Scalars use the stream's own formatting.
  std::ostringstream os;
  XmlRpcValue yes(true), n(255), d(1.0 / 3);
  os << std::boolalpha << yes << ' ' << std::hex << n << ' ' << std::scientific << d;
  EXPECT_EQ(os.str(), "true ff 3.333333e-01");
}

TEST(ValueText, Base64GoesStraightIntoTheBufferAndStopsWhenRefused) {
  // Accepts five characters, then refuses every further one.
  struct LimitedBuffer : std::streambuf {
    std::string taken;
    int_type overflow(int_type ch) override {
      if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
      if (taken.size() == 5) return traits_type::eof();
      taken += traits_type::to_char_type(ch);
      return ch;
    }
  } buffer;
  std::ostream os(&buffer);
  std::string zeros(6, '\0');
  XmlRpcValue bytes(&zeros[0], 6);
  os << bytes;
  EXPECT_EQ(buffer.taken, "AAAAA");
  EXPECT_TRUE(os.good());
}

}  // namespace
