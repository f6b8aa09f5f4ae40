// Fuzz target for entity coding: any text decodes as a plain left-to-right
// reading of the five entities decodes it, and any text survives encoding and
// decoding again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

#include "XmlRpcUtil.h"

using XmlRpc::XmlRpcUtil;

using corvane::fuzz::require;

namespace {

constexpr int ENTITY_COUNT = 5;
const char RAW_CHARS[ENTITY_COUNT + 1] = "<>&'\"";
const char* const ENTITY_TEXTS[ENTITY_COUNT] = {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"};

std::string referenceDecode(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.length()) {
    int match = -1;
    for (int i = 0; i < ENTITY_COUNT && match < 0; ++i) {
      if (text.compare(pos, std::char_traits<char>::length(ENTITY_TEXTS[i]), ENTITY_TEXTS[i]) == 0)
        match = i;
    }
    if (match >= 0) {
      out += RAW_CHARS[match];
      pos += std::char_traits<char>::length(ENTITY_TEXTS[match]);
    } else {
      out += text[pos++];
    }
  }
  return out;
}

std::string referenceEncode(const std::string& text) {
  std::string out;
  for (char c : text) {
    int match = -1;
    for (int i = 0; i < ENTITY_COUNT && match < 0; ++i) {
      if (RAW_CHARS[i] == c) match = i;
    }
    if (match >= 0) {
      out += ENTITY_TEXTS[match];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::string decoded = XmlRpcUtil::xmlDecode(text);
  require(decoded == referenceDecode(text), "decoding differs from the plain reading", text);
  const std::string encoded = XmlRpcUtil::xmlEncode(text);
  require(encoded == referenceEncode(text), "encoding differs from the plain encoding", text);
  require(XmlRpcUtil::xmlDecode(encoded) == text, "a text did not survive encoding", text);
  return 0;
}
