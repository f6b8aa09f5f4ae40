// Fuzz target for base64 decoding: any text decodes as the plain group-by-group
// reading decodes it, and bytes survive encoding and decoding again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include <vector>
#include "fuzz_support.h"

#include "base64.h"

using corvane::fuzz::require;

namespace {

typedef XmlRpc::base64<char> Coder;
typedef std::vector<char> Bytes;

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int DIGITS_PER_GROUP = 4;
constexpr int BYTES_PER_GROUP = 3;
// Encoded lines hold this many full groups before their line feed.
constexpr std::size_t GROUPS_PER_LINE = 18;

int digitValue(char c) {
  for (int d = 0; ALPHABET[d] != '\0'; ++d) {
    if (ALPHABET[d] == c) return d;
  }
  return -1;
}

// Collects four digits, skipping anything outside the alphabet, and stops at
// the first "=" after writing what its group completed.
Bytes referenceDecode(const std::string& text) {
  Bytes out;
  int digits[DIGITS_PER_GROUP] = {0, 0, 0, 0};
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int d = digitValue(c);
    if (d < 0) continue;
    digits[count++] = d;
    if (count == DIGITS_PER_GROUP) {
      out.push_back(static_cast<char>((digits[0] << 2) | (digits[1] >> 4)));
      out.push_back(static_cast<char>(((digits[1] & 0x0F) << 4) | (digits[2] >> 2)));
      out.push_back(static_cast<char>(((digits[2] & 0x03) << 6) | digits[3]));
      count = 0;
    }
  }
  if (count >= 2 && text.find('=') != std::string::npos) {
    out.push_back(static_cast<char>((digits[0] << 2) | (digits[1] >> 4)));
    if (count == 3) out.push_back(static_cast<char>(((digits[1] & 0x0F) << 4) | (digits[2] >> 2)));
  }
  return out;
}

std::string referenceEncode(const Bytes& bytes) {
  std::string out;
  std::size_t groups = 0;
  std::size_t i = 0;
  for (; i + BYTES_PER_GROUP <= bytes.size(); i += BYTES_PER_GROUP) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6)
      out += ALPHABET[(v >> shift) & 0x3F];
    if (++groups % GROUPS_PER_LINE == 0) out += '\n';
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (left == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += ALPHABET[(v >> 18) & 0x3F];
    out += ALPHABET[(v >> 12) & 0x3F];
    out += left == 2 ? ALPHABET[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

Bytes decode(const std::string& text) {
  Bytes out;
  int status = 0;
  Coder::get(text.begin(), text.end(), std::back_inserter(out), status);
  return out;
}

std::string encode(const Bytes& bytes) {
  std::string out;
  int status = 0;
  Coder::put(bytes.begin(), bytes.end(), std::back_inserter(out), status, Coder::crlf());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const Bytes decoded = decode(text);
  require(decoded == referenceDecode(text), "decoding differs from the group-by-group reading",
          text);
  const std::string encoded = encode(decoded);
  require(encoded == referenceEncode(decoded), "encoding differs from the plain encoding", text);
  require(decode(encoded) == decoded, "decoded bytes did not survive encoding", text);

  // The same input as raw bytes reaches every byte value on the encoding side.
  const Bytes raw(text.begin(), text.end());
  const std::string rawEncoded = encode(raw);
  require(rawEncoded == referenceEncode(raw), "encoding raw bytes differs from the plain encoding",
          text);
  require(decode(rawEncoded) == raw, "raw bytes did not survive encoding", text);

  // The buffer-sizing fast paths that values use must match the sink versions.
  Bytes appended;
  Coder::getAppend(text.data(), text.data() + text.size(), appended);
  require(appended == decoded, "getAppend differs from get", text);
  std::string appendedText;
  Coder::putAppend(raw.data(), raw.size(), appendedText);
  require(appendedText == rawEncoded, "putAppend differs from put", text);
  return 0;
}
