// The value model (ownership, coercions, equality, access) and the readable
// text form of values.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <ios>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "XmlRpcException.h"
#include "XmlRpcValue.h"

using XmlRpc::XmlRpcException;
using XmlRpc::XmlRpcValue;

namespace {

// Opens up the coercions that the public members are built on.
class Probe : public XmlRpcValue {
 public:
  using XmlRpcValue::assertArray;
  using XmlRpcValue::assertStruct;
  using XmlRpcValue::assertTypeOrInvalid;
  using XmlRpcValue::XmlRpcValue;
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
  tm t = tm();
  t.tm_year = year;
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
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
  const XmlRpcValue v;
  EXPECT_FALSE(v.valid());
  EXPECT_EQ(v, XmlRpcValue());
  EXPECT_EQ(thrownMessage([&] { v.size(); }), "type error");
  EXPECT_FALSE(v.hasMember(""));
  EXPECT_EQ(thrownMessage([] { XmlRpcValue(true).size(); }), "type error");
  EXPECT_EQ(thrownMessage([] { XmlRpcValue(1.5).size(); }), "type error");

  char bytes[] = {1, 0, 2, 0};
  EXPECT_EQ(XmlRpcValue("abc").size(), 3);
  EXPECT_EQ(XmlRpcValue(bytes, 4).size(), 4);
  EXPECT_EQ(ints({1, 2}).size(), 2);
}

TEST(ValueModel, SubscriptGrowsAnArrayWithInvalidElements) {
  XmlRpcValue v;
  v[2] = 5;
  ASSERT_EQ(v.getType(), XmlRpcValue::TypeArray);
  EXPECT_EQ(v.size(), 3);
  EXPECT_FALSE(v[0].valid());
  EXPECT_EQ(v[2], XmlRpcValue(5));

  XmlRpcValue params;
  params[0] = "mac";
  params[1] = "proc";
  params[2] = "ip";
  EXPECT_EQ(params.size(), 3);
  EXPECT_EQ(text(params), "{mac,proc,ip}");

  v.setSize(1);
  EXPECT_EQ(v.size(), 3);
  v.setSize(4);
  EXPECT_EQ(v.size(), 4);
  EXPECT_EQ(v[2], XmlRpcValue(5));
}

TEST(ValueModel, SubscriptErrorsLeaveTheValueAsItWas) {
  XmlRpcValue s("abc");
  EXPECT_EQ(thrownMessage([&] { s[0]; }), "type error: expected an array");
  EXPECT_EQ(s, XmlRpcValue("abc"));

  XmlRpcValue pair;
  pair[1] = 1;
  const XmlRpcValue& constPair = pair;
  EXPECT_EQ(thrownMessage([&] { constPair[2]; }), "range error: array index too large");
  EXPECT_THROW(constPair[-1], std::out_of_range);
  const XmlRpcValue invalid;
  EXPECT_EQ(thrownMessage([&] { invalid[0]; }), "type error: expected an array");

  EXPECT_THROW(pair[-3], std::out_of_range);
  EXPECT_EQ(pair.size(), 2);
  XmlRpcValue fresh;
  EXPECT_THROW(fresh[-1], std::out_of_range);
  EXPECT_EQ(fresh.getType(), XmlRpcValue::TypeArray);
  EXPECT_EQ(fresh.size(), 0);
}

TEST(ValueModel, CoercionsTurnOnlyInvalidValuesIntoTheirType) {
  Probe array;
  array.assertArray(5);
  array.assertArray(2);
  EXPECT_EQ(array.size(), 5);
  EXPECT_EQ(thrownMessage([&] { array.assertStruct(); }), "type error: expected a struct");

  Probe st;
  st.assertStruct();
  EXPECT_EQ(st.getType(), XmlRpcValue::TypeStruct);
  EXPECT_EQ(st.size(), 0);
  EXPECT_EQ(thrownMessage([&] { st.assertArray(1); }), "type error: expected an array");

  Probe date;
  date.assertTypeOrInvalid(XmlRpcValue::TypeDateTime);
  EXPECT_EQ(text(date), "   00000T00:00:00");
  Probe str("x");
  EXPECT_EQ(thrownMessage([&] { str.assertTypeOrInvalid(XmlRpcValue::TypeInt); }), "type error");
  EXPECT_EQ(str, XmlRpcValue("x"));

  XmlRpcValue n;
  static_cast<int&>(n) = 4;
  EXPECT_EQ(n, XmlRpcValue(4));
  EXPECT_EQ(thrownMessage([&] { static_cast<double&>(n) = 1.0; }), "type error");
  XmlRpcValue b;
  EXPECT_FALSE(static_cast<bool&>(b));
  EXPECT_EQ(b.getType(), XmlRpcValue::TypeBoolean);

  XmlRpcValue assigned("text");
  assigned = true;
  EXPECT_EQ(assigned, XmlRpcValue(true));
  assigned = 2.5;
  EXPECT_EQ(assigned, XmlRpcValue(2.5));
}

TEST(ValueModel, EqualityComparesTypesThenPayloads) {
  EXPECT_NE(XmlRpcValue(1), XmlRpcValue(1.0));
  EXPECT_NE(XmlRpcValue(true), XmlRpcValue(1));
  EXPECT_NE(XmlRpcValue(std::nan("")), XmlRpcValue(std::nan("")));
  EXPECT_EQ(XmlRpcValue(0.0), XmlRpcValue(-0.0));
  EXPECT_NE(XmlRpcValue("ab"), XmlRpcValue(std::string("ab\0", 3)));

  EXPECT_EQ(ints({}), ints({}));
  EXPECT_EQ(ints({1, 2}), ints({1, 2}));
  EXPECT_NE(ints({1, 2}), ints({2, 1}));
  EXPECT_NE(ints({1, 2}), ints({1, 2, 3}));

  tm day1 = makeTm(2024, 1, 2, 3, 4, 5);
  tm day2 = makeTm(2024, 1, 3, 3, 4, 5);
  tm otherWeekday = day1;
  otherWeekday.tm_wday = 6;
  otherWeekday.tm_isdst = 1;
  EXPECT_NE(XmlRpcValue(&day1), XmlRpcValue(&day2));
  EXPECT_EQ(XmlRpcValue(&day1), XmlRpcValue(&otherWeekday));
}

TEST(ValueModel, StructsAreEqualOnlyWithTheSameNames) {
  XmlRpcValue a1, b1, a1b2, a2b1;
  a1["a"] = 1;
  b1["b"] = 1;
  a1b2["a"] = 1;
  a1b2["b"] = 2;
  a2b1["a"] = 2;
  a2b1["b"] = 1;
  EXPECT_NE(a1, b1);
  EXPECT_NE(a1b2, a2b1);
  XmlRpcValue again;
  again["b"] = 2;
  again["a"] = 1;
  EXPECT_EQ(again, a1b2);
}

TEST(ValueModel, CopiesAreDeepAndIndependent) {
  XmlRpcValue source;
  source[0] = "first";
  source[1]["k"][0] = 1.5;
  XmlRpcValue copy(source);
  XmlRpcValue assigned;
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
}

TEST(ValueModel, AssignmentFromItselfOrFromItsOwnPartsWorks) {
  XmlRpcValue v;
  v[0][0] = "inner";
  v[1] = 2;
  const XmlRpcValue& same = v;
  v = same;
  EXPECT_EQ(text(v), "{{inner},2}");
  v = v[0];
  EXPECT_EQ(text(v), "{inner}");
  v = v[0];
  EXPECT_EQ(v, XmlRpcValue("inner"));

  XmlRpcValue st;
  st["k"]["j"] = 3;
  st = st["k"];
  EXPECT_EQ(text(st), "[j:3]");

  XmlRpcValue s("self");
  s = static_cast<std::string&>(s).c_str();
  EXPECT_EQ(s, XmlRpcValue("self"));
}

TEST(ValueModel, ClearFreesNestedPayloadsOnce) {
  XmlRpcValue v;
  v[0]["a"] = "x";
  v[1]["b"][0] = 1;
  v.clear();
  EXPECT_FALSE(v.valid());
  v.clear();
  EXPECT_FALSE(v.valid());
}

TEST(ValueModel, NameSubscriptAddsAMemberAndHasMemberDoesNot) {
  XmlRpcValue v;
  EXPECT_FALSE(v.hasMember("a"));
  EXPECT_FALSE(v.valid());
  XmlRpcValue& added = v["a"];
  EXPECT_FALSE(added.valid());
  EXPECT_TRUE(v.hasMember("a"));
  EXPECT_FALSE(v.hasMember("b"));
  EXPECT_EQ(v.size(), 1);
  XmlRpcValue array;
  array[0] = 1;
  EXPECT_EQ(thrownMessage([&] { array["a"]; }), "type error: expected a struct");
}

TEST(ValueText, ScalarsUseTheStreamsOwnFormatting) {
  EXPECT_EQ(text(XmlRpcValue()), "");
  EXPECT_EQ(text(XmlRpcValue(true)), "1");
  std::ostringstream os;
  XmlRpcValue yes(true), n(255), d(1.0 / 3);
  os << std::boolalpha << yes << ' ' << std::hex << n << ' ' << std::scientific << d;
  EXPECT_EQ(os.str(), "true ff 3.333333e-01");
  EXPECT_EQ(text(XmlRpcValue(1.0 / 3)), "0.333333");
  EXPECT_EQ(text(XmlRpcValue("a<b,&c")), "a<b,&c");
}

TEST(ValueText, ContainersNestBracesAndBracketsOnOneLine) {
  XmlRpcValue one, two, withEmptyString;
  one.setSize(1);
  two.setSize(2);
  withEmptyString[0] = "";
  EXPECT_EQ(text(ints({})), "{}");
  EXPECT_EQ(text(ints({1, 2})), "{1,2}");
  EXPECT_EQ(text(one), "{}");
  EXPECT_EQ(text(two), "{,}");
  EXPECT_EQ(text(withEmptyString), "{}");

  XmlRpcValue st;
  st["b"] = 2;
  st["a"] = 1;
  EXPECT_EQ(text(st), "[a:1,b:2]");
  XmlRpcValue holder, invalidMember;
  holder["k"][0] = 1;
  holder["k"][1] = 2;
  static_cast<void>(invalidMember["x"]);
  Probe emptyStruct;
  emptyStruct.assertStruct();
  EXPECT_EQ(text(holder), "[k:{1,2}]");
  EXPECT_EQ(text(invalidMember), "[x:]");
  EXPECT_EQ(text(emptyStruct), "[]");
}

TEST(ValueText, DatesArePaddedAndCutToEighteenCharacters) {
  tm when = makeTm(1998, 7, 17, 14, 8, 55);
  EXPECT_EQ(text(XmlRpcValue(&when)), "19980717T14:08:55");
  when.tm_year = 123456;
  EXPECT_EQ(text(XmlRpcValue(&when)), "1234560717T14:08:5");
  when.tm_year = 99;
  EXPECT_EQ(text(XmlRpcValue(&when)), "  990717T14:08:55");
}

// Accepts `room` characters, then refuses every further one.
class LimitedBuffer : public std::streambuf {
 public:
  explicit LimitedBuffer(std::size_t room) : _room(room) {}
  std::string taken;

 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    if (taken.size() == _room) return traits_type::eof();
    taken += traits_type::to_char_type(ch);
    return ch;
  }

 private:
  std::size_t _room;
};

TEST(ValueText, Base64GoesStraightIntoTheBufferAndStopsWhenRefused) {
  const std::string line(72, 'A');
  std::string zeros(55, '\0');
  EXPECT_EQ(text(XmlRpcValue(&zeros[0], 3)), "AAAA");
  EXPECT_EQ(text(XmlRpcValue(&zeros[0], 54)), line + "\n");
  EXPECT_EQ(text(XmlRpcValue(&zeros[0], 55)), line + "\nAA==");

  LimitedBuffer buffer(5);
  std::ostream os(&buffer);
  XmlRpcValue bytes(&zeros[0], 6);
  os << bytes;
  EXPECT_EQ(buffer.taken, "AAAAA");
  EXPECT_TRUE(os.good());
}

}  // namespace
