// The XML tag scanners and the entity coders of XmlRpcUtil.
#include <gtest/gtest.h>

#include <string>

#include "XmlRpcUtil.h"

using XmlRpc::XmlRpcUtil;

namespace {

TEST(XmlScan, NextTagIsSkipsOnlyWhitespaceAndMovesPastTheTag) {
  const std::string xml = " \n\t<value>x";
  int offset = 0;
  EXPECT_TRUE(XmlRpcUtil::nextTagIs("<value>", xml, &offset));
  EXPECT_EQ(offset, 10);

  for (const std::string bad : {"x<value>", "<VALUE>", "  <val", "\n"}) {
    offset = 0;
    EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", bad, &offset)) << bad;
    EXPECT_EQ(offset, 0) << bad;
  }
  // A NUL byte ends the text for the stepping scanners.
  offset = 0;
  EXPECT_FALSE(XmlRpcUtil::nextTagIs("<value>", std::string(" \0<value>", 9), &offset));
}

TEST(XmlScan, FindTagSkipsAnyTextAndFailsInPlace) {
  const std::string xml = "<a><b>junk</b></value>tail";
  int offset = 1;
  EXPECT_TRUE(XmlRpcUtil::findTag("</value>", xml, &offset));
  EXPECT_EQ(offset, 22);
  EXPECT_FALSE(XmlRpcUtil::findTag("</value>", xml, &offset));
  EXPECT_EQ(offset, 22);
}

TEST(XmlScan, ParseTagReturnsRawContentUpToFirstClosingTag) {
  const std::string xml = "x<name>a&amp;<name>b</name>rest";
  int offset = 0;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", xml, &offset), "a&amp;<name>b");
  EXPECT_EQ(offset, 27);

  // Missing and empty elements both give "", only the offset tells them apart.
  const std::string unclosed = "<name>abc";
  offset = 0;
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", unclosed, &offset), "");
  EXPECT_EQ(offset, 0);
  const std::string empty = "<name></name>";
  EXPECT_EQ(XmlRpcUtil::parseTag("<name>", empty, &offset), "");
  EXPECT_EQ(offset, 13);
}

TEST(XmlScan, GetNextTagReturnsAnyTagOrNothing) {
  const std::string xml = "  <i4>42</i4>";
  int offset = 0;
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "<i4>");
  EXPECT_EQ(offset, 6);
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "");
  EXPECT_EQ(offset, 6);
  offset = 8;
  EXPECT_EQ(XmlRpcUtil::getNextTag(xml, &offset), "</i4>");

  const std::string unclosed = "ab <tag";
  offset = 2;
  EXPECT_EQ(XmlRpcUtil::getNextTag(unclosed, &offset), "<tag");
  EXPECT_EQ(offset, 7);
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

TEST(XmlEntities, EncodeReplacesTheFiveCharactersOnly) {
  EXPECT_EQ(XmlRpcUtil::xmlEncode("a<b>c&d'e\"f"), "a&lt;b&gt;c&amp;d&apos;e&quot;f");
  EXPECT_EQ(XmlRpcUtil::xmlEncode("plain text"), "plain text");
  const std::string binary("<\0\x01\xff", 4);
  EXPECT_EQ(XmlRpcUtil::xmlEncode(binary), std::string("&lt;\0\x01\xff", 7));
}

TEST(XmlEntities, DecodeReplacesTheFiveEntitiesOnly) {
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&lt;&gt;&amp;&apos;&quot;"), "<>&'\"");
  EXPECT_EQ(XmlRpcUtil::xmlDecode("a &nbsp; &#60; &LT; &lt &"), "a &nbsp; &#60; &LT; &lt &");
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&&lt;"), "&<");
  // A decoded ampersand is not examined again.
  EXPECT_EQ(XmlRpcUtil::xmlDecode("&amp;lt;"), "&lt;");
  EXPECT_EQ(XmlRpcUtil::xmlDecode("no entities"), "no entities");
}

TEST(XmlEntities, DecodeUndoesEncodeForEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c)
    all += static_cast<char>(c);
  all += "&amp;&lt;&";
  EXPECT_EQ(XmlRpcUtil::xmlDecode(XmlRpcUtil::xmlEncode(all)), all);
}

}  // namespace
