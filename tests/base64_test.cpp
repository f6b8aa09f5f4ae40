// The base64 coder: RFC 4648 text, 72-character lines, tolerant decoding.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
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

// The decoded bytes, then a colon and the status.
std::string decode(const std::string& text) {
  std::vector<char> bytes;
  int status = -1;
  Coder::get(text.begin(), text.end(), std::back_inserter(bytes), status);
  return std::string(bytes.begin(), bytes.end()) + ":" + std::to_string(status);
}

const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The 48 bytes whose encoding is the alphabet in order.
const std::string ALPHABET_BYTES(
    "\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71\xd7"
    "\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3"
    "\xdf\xbf",
    48);

TEST(Base64, EncodesTheStandardAlphabetInLinesOf54Bytes) {
  const std::string line(72, 'A');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foobar", "Zm9vYmFy"},
      {ALPHABET_BYTES, ALPHABET},
      {std::string(54, '\0'), line + "\n"},
      {std::string(55, '\0'), line + "\nAA=="},
      {std::string(108, '\0'), line + "\n" + line + "\n"}};
  for (const auto& c : cases)
    EXPECT_EQ(encode(c.first), c.second) << c.first.size();

  std::string all;
  for (int i = 0; i < 3 * 256 + 1; ++i)
    all += static_cast<char>(i * 7);
  EXPECT_EQ(decode(encode(all)), all + ":1");
}

TEST(Base64, DecodingSkipsBlanksAndStopsAtTheFirstPadOrDropsAPartialGroup) {
  const std::string done = ":0", padded = ":1", partial = ":2";
  const std::pair<std::string, std::string> cases[] = {{"", done},
                                                       {ALPHABET, ALPHABET_BYTES + done},
                                                       {" Zm\n9v\r\nYm\tFy ", "foobar" + done},
                                                       {"Z!m*9-v_\x80\xff", "foo" + done},
                                                       {"Zg==Zm9v", "f" + padded},
                                                       {"Zm8=Zm9v", "fo" + padded},
                                                       {"Z=m9v", padded},
                                                       {"Zm9vYg", "foo" + partial},
                                                       {"Zm9vYmF", "foo" + partial}};
  for (const auto& c : cases)
    EXPECT_EQ(decode(c.first), c.second) << c.first;

  // The position returned is just after the pad.
  const std::string text = "Zm8= tail";
  std::vector<char> bytes;
  int status = -1;
  EXPECT_EQ(Coder::get(text.begin(), text.end(), std::back_inserter(bytes), status) - text.begin(),
            4);
}

}  // namespace
