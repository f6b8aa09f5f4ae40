// The base64 coder: RFC 4648 text, 72-character lines, tolerant decoding.
#include <gtest/gtest.h>

#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "base64.h"

namespace {

typedef XmlRpc::base64<char> Coder;

std::string encode(const std::string& bytes) {
  std::string text;
  int status = -1;
  Coder::put(bytes.begin(), bytes.end(), std::back_inserter(text), status, Coder::crlf());
  EXPECT_EQ(status, Coder::STATUS_DONE);
  return text;
}

std::string decode(const std::string& text, int* status = nullptr) {
  std::vector<char> bytes;
  int ignored = -1;
  Coder::get(text.begin(), text.end(), std::back_inserter(bytes), status ? *status : ignored);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64, EncodesTheStandardVectors) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
}

TEST(Base64, BreaksLinesAfterEvery54Bytes) {
  const std::string line(72, 'A');
  EXPECT_EQ(encode(std::string(54, '\0')), line + "\n");
  EXPECT_EQ(encode(std::string(55, '\0')), line + "\nAA==");
  EXPECT_EQ(encode(std::string(108, '\0')), line + "\n" + line + "\n");
  EXPECT_EQ(encode(std::string(56, '\0')), line + "\nAAA=");
}

TEST(Base64, DecodingSkipsEverythingOutsideTheAlphabet) {
  EXPECT_EQ(decode(" Zm\n9v\r\nYm\tFy "), "foobar");
  EXPECT_EQ(decode("Z!m*9-v"), "foo");
  EXPECT_EQ(decode(""), "");
}

TEST(Base64, DecodingStopsAtTheFirstPadAndReportsIt) {
  int status = -1;
  EXPECT_EQ(decode("Zg==Zm9v", &status), "f");
  EXPECT_EQ(status, Coder::STATUS_PADDED);
  EXPECT_EQ(decode("Zm8=Zm9v"), "fo");
  EXPECT_EQ(decode("=Zm9v"), "");
  EXPECT_EQ(decode("Z=m9v"), "");

  const std::string text = "Zm8= tail";
  std::vector<char> bytes;
  EXPECT_EQ(Coder::get(text.begin(), text.end(), std::back_inserter(bytes), status),
            text.begin() + 4);
}

TEST(Base64, DecodingDropsAnIncompleteFinalGroup) {
  int status = -1;
  EXPECT_EQ(decode("Zm9vYg", &status), "foo");
  EXPECT_EQ(status, Coder::STATUS_PARTIAL);
  EXPECT_EQ(decode("Zm9vYmF"), "foo");
  EXPECT_EQ(decode("Z"), "");
  EXPECT_EQ(decode("Zm9v", &status), "foo");
  EXPECT_EQ(status, Coder::STATUS_DONE);
}

TEST(Base64, EveryByteSurvivesARoundTrip) {
  std::string bytes;
  for (int i = 0; i < 3 * 256 + 1; ++i)
    bytes += static_cast<char>(i * 7);
  EXPECT_EQ(decode(encode(bytes)), bytes);
}

TEST(Base64, ClassifiesCharactersThroughTheAlphabet) {
  for (int d = 0; d < 64; ++d)
    EXPECT_EQ(Coder::_getCharType(Coder::_base64Chars[d]), d);
  EXPECT_EQ(Coder::_getCharType('='), Coder::PAD_CHAR);
  for (int c : std::initializer_list<int>{' ', '\n', '-', '_', 0, 0x80, 0xff, -1, 256}) {
    EXPECT_EQ(Coder::_getCharType(c), Coder::OTHER_CHAR) << c;
  }
}

}  // namespace
