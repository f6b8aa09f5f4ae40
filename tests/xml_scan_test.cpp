// The XML tag scanners and the entity coders of XmlRpcUtil.
#include <gtest/gtest.h>

#include <string>

#include "XmlRpcUtil.h"

using XmlRpc::XmlRpcUtil;

namespace {

TEST(XmlScan, NextTagIsSkipsOnlyWhitespaceAndMovesPastTheTag) {
  int offset = 0;
  EXPECT_TRUE(XmlRpcUtil::nextTagIs("<value>", " \n\t<value>x", &offset));
  EXPECT_EQ(offset, 10);
  // A NUL byte ends the text for the stepping scanners.
  const std::string bad[] = {"x<value>", "<VALUE>", "  <val", "\n", {" \0<value>", 9}};
  for (const std::string& xml : bad) {
    offset = 0;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", xml, &offset)) << xml;
    EXPECT_EQ(offset, 0) << xml;
  }
}

TEST(XmlScan, FindTagAndParseTagSkipAnyTextAndFailInPlace) {
  const std::string xml = "x<name>a&amp;<name>b</name>rest</value>";
  int offset = 1;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &offset), "a&amp;<name>b");
  EXPECT_EQ(offset, 27);
  EXPECT_TRUE(XmlRpcUtil::findTag("</value>", xml, &offset));
  EXPECT_EQ(offset, 39);
  offset = 27;
  EXPECT_FALSE(XmlRpcUtil::findTag("</name>", xml, &offset));
  // A missing and an empty element both give "", only the offset tells them apart.
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &offset), "");
  EXPECT_EQ(offset, 27);
  offset = 0;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", "<name>abc", &offset), "");
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", "<name></name>", &offset), "");
  EXPECT_EQ(offset, 13);
}

TEST(XmlScan, GetNextTagReturnsAnyTagOrNothing) {
  const std::string xml = "  <i4>42</i4> <tag";
  int offset = 0;
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "<i4>");
  EXPECT_EQ(offset, 6);
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "");
  EXPECT_EQ(offset, 6);
  offset = 8;
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "</i4>");
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "<tag");
  EXPECT_EQ(offset, 18);
}

TEST(XmlScan, EveryScannerFailsAtOrBeyondTheEndAndBeforeTheStart) {
  const std::string xml = "<value></value>";
  for (int start : {15, 16, -1}) {
    int offset = start;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", xml, &offset));
    EXPECT_FALSE(XmlRpcUtil::findTag("</value>", xml, &offset));
    EXPECT_EQ(XmlRpcUtil::parseTag("<value>", xml, &offset), "");
    EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "");
    EXPECT_EQ(offset, start);
  }
}

TEST(XmlEntities, OnlyTheFiveCharactersAndTheirEntitiesAreCoded) {
  EXPECT_EQ(XmlRpcUtil::xmlEncode("a<b>c&d'e\"f"), "a&lt;b&gt;c&amp;d&apos;e&quot;f");
  EXPECT_EQ(XmlRpcUtil::xmlEncode(std::string("<\0\x01\xff", 4)), std::string("&lt;\0\x01\xff", 7));
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&lt;&gt;&amp;&apos;&quot;"), "<>&'\"");
  EXPECT_EQ(XmlRpcUtil::xmlDecode("a &nbsp; &#60; &LT; &lt &&lt;"), "a &nbsp; &#60; &LT; &lt &<");
  // A decoded ampersand is not examined again.
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&amp;lt;"), "&lt;");

  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  all += "&amp;&lt;&";
  EXPECT_EQ(XmlRpcUtil::xmlDecode(XmlRpcUtil::xmlEncode(all)), all);
}

}  // namespace
