// Fuzz target for value decoding: any text is read as one <value> element;
// a text that decodes must encode to a text that decodes to an equal value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"
#include "fuzz_support.h"

using corvane::fuzz::require;
using XmlRpc::XmlRpcValue;

namespace {

// Enough significant digits for every double to read back exactly.
const char ROUND_TRIP_DOUBLE_FORMAT[] = "%.17g";

const char DOUBLE_TAG[] = "<double>";
const char DATETIME_TAG[] = "<dateTime.iso8601>";
const char DATETIME_ETAG[] = "</dateTime.iso8601>";
// Year, month and day digits, "T", then hh:mm:ss, when every field fills its width.
const char FULL_WIDTH_DATE_PATTERN[] = "99999999T99:99:99";
constexpr std::size_t FULL_WIDTH_DATE_LENGTH = sizeof(FULL_WIDTH_DATE_PATTERN) - 1;

// The wire format "%4d%02d%02dT%02d:%02d:%02d" pads a year below 1000 with
// blanks, which the reader's "%4d" skips before counting digits, and writes
// negative or wider fields past their widths; such dates cannot read back the
// same, so only dates written in exactly the full widths must round-trip.
bool datesHaveFullWidth(const std::string& xml) {
  for (std::size_t at = xml.find(DATETIME_TAG); at != std::string::npos;
       at = xml.find(DATETIME_TAG, at + 1)) {
    const std::size_t start = at + std::strlen(DATETIME_TAG);
    if (start + FULL_WIDTH_DATE_LENGTH > xml.length()) return false;
    if (xml.compare(start + FULL_WIDTH_DATE_LENGTH, std::strlen(DATETIME_ETAG), DATETIME_ETAG) !=
        0) {
      return false;
    }
    for (std::size_t i = 0; i < FULL_WIDTH_DATE_LENGTH; ++i) {
      const char c = xml[start + i];
      const char want = FULL_WIDTH_DATE_PATTERN[i];
      if (want == '9' ? (c < '0' || c > '9') : c != want) return false;
    }
  }
  return true;
}

// NaN compares unequal to itself, so values holding one are compared by text.
bool holdsNan(const std::string& xml) {
  for (std::size_t at = xml.find(DOUBLE_TAG); at != std::string::npos;
       at = xml.find(DOUBLE_TAG, at + 1)) {
    if (std::isnan(std::strtod(xml.c_str() + at + std::strlen(DOUBLE_TAG), nullptr))) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool configured = [] {
    XmlRpcValue::setDoubleFormat(ROUND_TRIP_DOUBLE_FORMAT);
    return true;
  }();
  (void)configured;
  corvane::fuzz::countedErrors();

  const std::string text(reinterpret_cast<const char*>(data), size);
  int offset = 0;
  XmlRpcValue value;
  if (!value.fromXml(text, &offset)) {
    require(offset == 0 && !value.valid(), "a failed read moved the offset or kept a value", text);
    return 0;
  }
  require(value.valid(), "a successful read gave an invalid value", text);
  require(offset > 0 && static_cast<std::size_t>(offset) <= text.length(),
          "a successful read left the offset outside the text", text);

  int ctorOffset = 0;
  const XmlRpcValue viaConstructor(text, &ctorOffset);
  const std::string encoded = value.toXml();
  require(ctorOffset == offset && viaConstructor.toXml() == encoded,
          "the XML constructor read differently from fromXml", text);
  require(!encoded.empty(), "a valid value encoded to nothing", text);

  int againOffset = 0;
  XmlRpcValue again;
  const bool decodedAgain = again.fromXml(encoded, &againOffset);
  if (!datesHaveFullWidth(encoded)) return 0;

  require(decodedAgain, "the encoded text of a decoded value does not decode", encoded);
  require(static_cast<std::size_t>(againOffset) == encoded.length(),
          "decoding the encoded text did not consume all of it", encoded);
  require(again.toXml() == encoded, "encoding the value read back gave another text", encoded);
  if (!holdsNan(encoded)) {
    require(again == value, "the value read back differs from the value encoded", encoded);
    const XmlRpcValue copy(value);
    require(copy == value, "a copy differs from its original", encoded);
  }
  return 0;
}
