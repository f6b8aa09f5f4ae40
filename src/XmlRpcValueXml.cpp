// The XML-RPC text form of values: the reader of <value> elements and the writers.
#include "XmlRpcValue.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "XmlRpcUtil.h"
#include "base64.h"

namespace XmlRpc {

namespace {

const char VALUE_TAG[] = "<value>";
const char VALUE_ETAG[] = "</value>";
const char BOOLEAN_TAG[] = "<boolean>";
const char BOOLEAN_ETAG[] = "</boolean>";
const char INT_TAG[] = "<int>";
const char I4_TAG[] = "<i4>";
const char I4_ETAG[] = "</i4>";
const char DOUBLE_TAG[] = "<double>";
const char DOUBLE_ETAG[] = "</double>";
const char STRING_TAG[] = "<string>";
const char DATETIME_TAG[] = "<dateTime.iso8601>";
const char DATETIME_ETAG[] = "</dateTime.iso8601>";
const char BASE64_TAG[] = "<base64>";
const char BASE64_ETAG[] = "</base64>";
const char ARRAY_TAG[] = "<array>";
const char ARRAY_ETAG[] = "</array>";
const char DATA_TAG[] = "<data>";
const char DATA_ETAG[] = "</data>";
const char STRUCT_TAG[] = "<struct>";
const char STRUCT_ETAG[] = "</struct>";
const char MEMBER_TAG[] = "<member>";
const char MEMBER_ETAG[] = "</member>";
const char NAME_TAG[] = "<name>";
const char NAME_ETAG[] = "</name>";
const char EMPTY_VALUE_TAG[] = "<value/>";
const char EMPTY_STRING_TAG[] = "<string/>";
const char EMPTY_BASE64_TAG[] = "<base64/>";
const char EMPTY_ARRAY_TAG[] = "<array/>";
const char EMPTY_DATA_TAG[] = "<data/>";
const char EMPTY_STRUCT_TAG[] = "<struct/>";
const char EMPTY_NAME_TAG[] = "<name/>";
const char CDATA_OPEN[] = "<![CDATA[";
const char CDATA_CLOSE[] = "]]>";
constexpr std::size_t CDATA_OPEN_LENGTH = sizeof(CDATA_OPEN) - 1;
constexpr std::size_t CDATA_CLOSE_LENGTH = sizeof(CDATA_CLOSE) - 1;

// Numbers are formatted on the stack; texts are cut to two less than this,
// except a double, which is then formatted again in full.
constexpr int NUMBER_BUFFER_SIZE = 256;

typedef base64<char> Base64Coder;

// Appends "<value>" + tag + text + etag + "</value>".
void appendTypedValue(std::string& xml, std::string_view tag, std::string_view text,
                      std::string_view etag) {
  xml.append(VALUE_TAG, sizeof(VALUE_TAG) - 1);
  xml.append(tag.data(), tag.length());
  xml.append(text.data(), text.length());
  xml.append(etag.data(), etag.length());
  xml.append(VALUE_ETAG, sizeof(VALUE_ETAG) - 1);
}

template <std::size_t N>
void appendLiteral(std::string& xml, const char (&text)[N]) {
  xml.append(text, N - 1);
}

// What strtol reads in base 10 from `start`; returns the end of the numeral
// (`start` when there is none). A plain run of at most nine digits is read
// without strtol's set-up cost.
const char* readLong(const char* start, long* n) {
  const char* p = start;
  long value = 0;
  while (*p >= '0' && *p <= '9' && p - start < 9) {
    value = value * 10 + (*p - '0');
    ++p;
  }
  if (p != start && !(*p >= '0' && *p <= '9')) {
    *n = value;
    return p;
  }
  char* end = nullptr;
  *n = std::strtol(start, &end, 10);
  return end;
}

bool isDigits(const char* p, int count) {
  for (int i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
  }
  return true;
}

int digitsValue(const char* p, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i)
    value = value * 10 + (p[i] - '0');
  return value;
}

void putDigits(char* p, int value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// How deep the container readers of this thread are, and whether one of them
// refused to go deeper. A refusal must fail every enclosing container, which
// otherwise would take the failed element for the end of an array.
struct DecodeNesting {
  int depth = 0;
  bool tooDeep = false;
};
thread_local DecodeNesting decodeNesting;

class NestingGuard {
 public:
  NestingGuard() : _entered(++decodeNesting.depth <= XmlRpcValue::MAX_NESTING_DEPTH) {
    if (!_entered) decodeNesting.tooDeep = true;
  }
  ~NestingGuard() {
    if (--decodeNesting.depth == 0) decodeNesting.tooDeep = false;
  }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  bool entered() const { return _entered; }
  static bool tooDeep() { return decodeNesting.tooDeep; }

 private:
  bool _entered;
};

bool opensCdata(std::string_view xml, std::size_t at) {
  return xml.compare(at, CDATA_OPEN_LENGTH, CDATA_OPEN) == 0;
}

// Appends the text from `start` up to the CDATA section at `open`, entity-decoded, then the
// section's content as is. Returns the offset after the section, or npos when it has no end.
std::size_t appendUpToSectionEnd(std::string_view xml, std::size_t start, std::size_t open,
                                 std::string& out) {
  XmlRpcUtil::xmlDecode(xml.substr(start, open - start), out);
  const std::size_t content = open + CDATA_OPEN_LENGTH;
  const std::size_t close = xml.find(CDATA_CLOSE, content);
  if (close == std::string_view::npos) return close;
  out.append(xml.data() + content, close - content);
  return close + CDATA_CLOSE_LENGTH;
}

// Appends the text from `start` to the first '<' that does not open a CDATA
// section, entity-decoded outside sections and copied as is inside them; `lt`
// is the first '<' at or after `start`, which opens a section. Returns where the
// text ends, or npos when a section or the text after it does not end.
std::size_t appendTextWithCdata(std::string_view xml, std::size_t start, std::size_t lt,
                                std::string& out) {
  while (opensCdata(xml, lt)) {
    start = appendUpToSectionEnd(xml, start, lt, out);
    if (start == std::string_view::npos) return start;
    lt = xml.find('<', start);
    if (lt == std::string_view::npos) return lt;
  }
  XmlRpcUtil::xmlDecode(xml.substr(start, lt - start), out);
  return lt;
}

// Reads the content of the <name> element whose content starts at `start` and
// whose first "</name>" is at `close`, where CDATA sections may hold "</name>".
// Returns the offset after the name's closing tag, or npos when it has none.
std::size_t readCdataName(std::string_view xml, std::size_t start, std::size_t close,
                          std::string& name) {
  constexpr std::size_t etagLength = sizeof(NAME_ETAG) - 1;
  while (true) {
    // Bounded by the name's end, so that a message of many members stays linear.
    const std::size_t open = xml.substr(0, close).find(CDATA_OPEN, start);
    if (open == std::string_view::npos) break;
    start = appendUpToSectionEnd(xml, start, open, name);
    if (start == std::string_view::npos) return start;
    if (close < start) {
      close = xml.find(NAME_ETAG, start);
      if (close == std::string_view::npos) return close;
    }
  }
  XmlRpcUtil::xmlDecode(xml.substr(start, close - start), name);
  return close + etagLength;
}

// XmlRpcUtil::nextTagIs for the self-closing forms, which are looked for where
// the usual tag is missing, on every member and at the end of every array; kept
// inline, with a comparison of known length.
template <std::size_t N>
bool skipNextTag(const std::string& xml, int* offset, const char (&tag)[N]) {
  constexpr std::size_t tagLength = N - 1;
  if (*offset < 0) return false;
  const char* text = xml.data();
  const std::size_t length = xml.length();
  std::size_t at = static_cast<std::size_t>(*offset);
  while (at < length && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
    ++at;
  if (at > length || length - at < tagLength || std::memcmp(text + at, tag, tagLength) != 0)
    return false;
  *offset = static_cast<int>(at + tagLength);
  return true;
}

// Appends the next member name after `*offset` to `name` and moves the offset
// past it; with no complete <name> element the offset stays and the name is "".
void readName(const std::string& xml, int* offset, std::string& name) {
  int after = *offset;
  const std::string_view raw = XmlRpcUtil::parseTagView(NAME_TAG, xml, &after);
  // A name shorter than the opening of a CDATA section cannot hold one.
  if (raw.length() < CDATA_OPEN_LENGTH || raw.find('<') == std::string_view::npos) {
    XmlRpcUtil::xmlDecode(raw, name);
    *offset = after;
    return;
  }
  const std::size_t start = static_cast<std::size_t>(raw.data() - xml.data());
  const std::size_t end = readCdataName(xml, start, start + raw.length(), name);
  if (end == std::string_view::npos) {
    name.clear();
    return;
  }
  *offset = static_cast<int>(end);
}

// Where a reader may start: inside the text or at its end.
bool readableOffset(const std::string& xml, int offset) {
  return offset >= 0 && static_cast<std::size_t>(offset) <= xml.length();
}

// The text that `write` appends to an empty string.
template <typename Writer>
std::string written(Writer write) {
  std::string xml;
  write(xml);
  return xml;
}

}  // namespace

std::string XmlRpcValue::_doubleFormat("%f");

XmlRpcValue::XmlRpcValue(const std::string& xml, int* offset) : _type(TypeInvalid) {
  _value.asBinary = nullptr;
  fromXml(xml, offset);
}

// ---- XML decoding ----

bool XmlRpcValue::fromXml(const std::string& valueXml, int* offset) {
  const int savedOffset = *offset;
  invalidate();
  if (!XmlRpcUtil::nextTagIs(VALUE_TAG, valueXml, offset)) {
    // An empty string with no closing tag to look for.
    if (!skipNextTag(valueXml, offset, EMPTY_VALUE_TAG)) return false;
    assertTypeOrInvalid(TypeString);
    return true;
  }
  const int afterValueOffset = *offset;
  const std::string_view typeTag = XmlRpcUtil::getNextTagView(valueXml, offset);

  bool read = false;
  if (typeTag.empty() || typeTag == STRING_TAG) {
    read = stringFromXml(valueXml, offset);
  } else if (typeTag == I4_TAG || typeTag == INT_TAG) {
    read = intFromXml(valueXml, offset);
  } else if (typeTag == STRUCT_TAG) {
    read = structFromXml(valueXml, offset);
  } else if (typeTag == ARRAY_TAG) {
    read = arrayFromXml(valueXml, offset);
  } else if (typeTag == DOUBLE_TAG) {
    read = doubleFromXml(valueXml, offset);
  } else if (typeTag == BOOLEAN_TAG) {
    read = boolFromXml(valueXml, offset);
  } else if (typeTag == DATETIME_TAG) {
    read = timeFromXml(valueXml, offset);
  } else if (typeTag == BASE64_TAG) {
    read = binaryFromXml(valueXml, offset);
  } else if (typeTag == VALUE_ETAG || opensCdata(typeTag, 0)) {
    // An untyped value holding nothing but whitespace, or text from a CDATA section on.
    *offset = afterValueOffset;
    read = stringFromXml(valueXml, offset);
  } else if (typeTag == EMPTY_STRING_TAG || typeTag == EMPTY_STRUCT_TAG ||
             typeTag == EMPTY_ARRAY_TAG || typeTag == EMPTY_BASE64_TAG) {
    // The value is still invalid: it becomes the empty payload of that type.
    assertTypeOrInvalid(typeTag == EMPTY_STRING_TAG   ? TypeString
                        : typeTag == EMPTY_STRUCT_TAG ? TypeStruct
                        : typeTag == EMPTY_ARRAY_TAG  ? TypeArray
                                                      : TypeBase64);
    read = true;
  }

  if (!read) {
    invalidate();
    *offset = savedOffset;
    return false;
  }
  XmlRpcUtil::findTag(VALUE_ETAG, valueXml, offset);
  return true;
}

bool XmlRpcValue::boolFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const char* start = valueXml.c_str() + *offset;
  long n = 0;
  const char* end = readLong(start, &n);
  if (end == start || (n != 0 && n != 1)) return false;
  invalidate();
  _value.asBool = n == 1;
  _type = TypeBoolean;
  *offset += static_cast<int>(end - start);
  return true;
}

bool XmlRpcValue::intFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const char* start = valueXml.c_str() + *offset;
  long n = 0;
  const char* end = readLong(start, &n);
  if (end == start) return false;
  invalidate();
  _value.asInt = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
  _type = TypeInt;
  *offset += static_cast<int>(end - start);
  return true;
}

bool XmlRpcValue::doubleFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const char* start = valueXml.c_str() + *offset;
  char* end = nullptr;
  const double d = std::strtod(start, &end);
  if (end == start) return false;
  invalidate();
  _value.asDouble = d;
  _type = TypeDouble;
  *offset += static_cast<int>(end - start);
  return true;
}

bool XmlRpcValue::stringFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const std::size_t start = static_cast<std::size_t>(*offset);
  std::size_t end = valueXml.find('<', start);
  if (end == std::string::npos) return false;
  // Decoded straight from the message into the value's own string.
  std::unique_ptr<std::string> text(new std::string());
  if (valueXml[end + 1] == '!' && opensCdata(valueXml, end)) {
    end = appendTextWithCdata(valueXml, start, end, *text);
    if (end == std::string::npos) return false;
  } else {
    XmlRpcUtil::xmlDecode(std::string_view(valueXml).substr(start, end - start), *text);
  }
  invalidate();
  _value.asString = text.release();
  _type = TypeString;
  *offset = static_cast<int>(end);
  return true;
}

bool XmlRpcValue::timeFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const std::size_t start = static_cast<std::size_t>(*offset);
  const std::size_t end = valueXml.find('<', start);
  if (end == std::string::npos) return false;
  tm t = tm();
  const char* d = valueXml.data() + start;
  if (end - start >= 17 && isDigits(d, 8) && d[8] == 'T' && isDigits(d + 9, 2) && d[11] == ':' &&
      isDigits(d + 12, 2) && d[14] == ':' && isDigits(d + 15, 2)) {
    // The plain form, read as sscanf reads it.
    t.tm_year = digitsValue(d, 4);
    t.tm_mon = digitsValue(d + 4, 2);
    t.tm_mday = digitsValue(d + 6, 2);
    t.tm_hour = digitsValue(d + 9, 2);
    t.tm_min = digitsValue(d + 12, 2);
    t.tm_sec = digitsValue(d + 15, 2);
  } else {
    // sscanf measures its whole input, so it gets the date text alone.
    const std::string text = valueXml.substr(start, end - start);
    if (std::sscanf(text.c_str(), "%4d%2d%2dT%2d:%2d:%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec) != 6) {
      return false;
    }
  }
  t.tm_isdst = -1;
  tm* record = new tm(t);
  invalidate();
  _value.asTime = record;
  _type = TypeDateTime;
  *offset = static_cast<int>(end);
  return true;
}

bool XmlRpcValue::binaryFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const std::size_t start = static_cast<std::size_t>(*offset);
  const std::size_t end = valueXml.find('<', start);
  if (end == std::string::npos) return false;
  std::unique_ptr<BinaryData> bytes(new BinaryData());
  Base64Coder::getAppend(valueXml.data() + start, valueXml.data() + end, *bytes);
  invalidate();
  _value.asBinary = bytes.release();
  _type = TypeBase64;
  *offset = static_cast<int>(end);
  return true;
}

bool XmlRpcValue::arrayFromXml(const std::string& valueXml, int* offset) {
  NestingGuard nesting;
  if (!nesting.entered()) return false;
  if (!XmlRpcUtil::nextTagIs(DATA_TAG, valueXml, offset)) {
    if (!skipNextTag(valueXml, offset, EMPTY_DATA_TAG)) return false;
    invalidate();
    setSize(0);
    return true;
  }
  invalidate();
  _value.asArray = new ValueArray();
  _type = TypeArray;

  // Each element is read in its place; growing the array moves the elements.
  ValueArray& elements = *_value.asArray;
  while (true) {
    // Small arrays take one allocation; larger ones grow as vectors do.
    if (elements.size() == elements.capacity())
      elements.reserve(elements.size() < 4 ? 4 : 2 * elements.size());
    elements.emplace_back();
    if (!elements.back().fromXml(valueXml, offset)) break;
  }
  elements.pop_back();
  // A malformed element ends the array, but one nested too deeply fails it.
  if (NestingGuard::tooDeep()) {
    invalidate();
    return false;
  }
  XmlRpcUtil::nextTagIs(DATA_ETAG, valueXml, offset);
  return true;
}

bool XmlRpcValue::structFromXml(const std::string& valueXml, int* offset) {
  NestingGuard nesting;
  if (!nesting.entered()) return false;
  invalidate();
  _value.asStruct = new ValueStruct();
  _type = TypeStruct;

  ValueStruct& members = *_value.asStruct;
  std::string name;
  XmlRpcValue repeated;
  while (XmlRpcUtil::nextTagIs(MEMBER_TAG, valueXml, offset)) {
    name.clear();
    if (!skipNextTag(valueXml, offset, EMPTY_NAME_TAG)) readName(valueXml, offset, name);
    // Members usually come in name order, so the end is the likely place.
    const std::size_t count = members.size();
    auto slot = members.try_emplace(members.end(), std::move(name));
    // A repeated name keeps the member read first.
    XmlRpcValue& member = members.size() != count ? slot->second : repeated;
    if (!member.fromXml(valueXml, offset)) {
      invalidate();
      return false;
    }
    XmlRpcUtil::nextTagIs(MEMBER_ETAG, valueXml, offset);
  }
  return true;
}

// ---- XML encoding ----

void XmlRpcValue::toXml(std::string& xml) const {
  switch (_type) {
    case TypeBoolean:
      boolToXml(xml);
      break;
    case TypeInt:
      intToXml(xml);
      break;
    case TypeDouble:
      doubleToXml(xml);
      break;
    case TypeString:
      stringToXml(xml);
      break;
    case TypeDateTime:
      timeToXml(xml);
      break;
    case TypeBase64:
      binaryToXml(xml);
      break;
    case TypeArray:
      arrayToXml(xml);
      break;
    case TypeStruct:
      structToXml(xml);
      break;
    default:
      break;
  }
}

std::string XmlRpcValue::toXml() const {
  return written([this](std::string& xml) { toXml(xml); });
}

void XmlRpcValue::boolToXml(std::string& xml) const {
  appendTypedValue(xml, BOOLEAN_TAG, _value.asBool ? "1" : "0", BOOLEAN_ETAG);
}

void XmlRpcValue::intToXml(std::string& xml) const {
  char buf[NUMBER_BUFFER_SIZE];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof(buf), _value.asInt);
  appendTypedValue(xml, I4_TAG, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)),
                   I4_ETAG);
}

void XmlRpcValue::doubleToXml(std::string& xml) const {
  char buf[NUMBER_BUFFER_SIZE] = "";
  const int length =
      std::snprintf(buf, NUMBER_BUFFER_SIZE - 1, _doubleFormat.c_str(), _value.asDouble);
  if (length <= NUMBER_BUFFER_SIZE - 2) {
    appendTypedValue(xml, DOUBLE_TAG, buf, DOUBLE_ETAG);
    return;
  }
  // Cutting the text would put another number on the wire (1e300 under "%f").
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(&text[0], text.length() + 1, _doubleFormat.c_str(), _value.asDouble);
  appendTypedValue(xml, DOUBLE_TAG, text, DOUBLE_ETAG);
}

void XmlRpcValue::stringToXml(std::string& xml) const {
  appendLiteral(xml, VALUE_TAG);
  XmlRpcUtil::xmlEncode(std::string_view(*_value.asString), xml);
  appendLiteral(xml, VALUE_ETAG);
}

void XmlRpcValue::timeToXml(std::string& xml) const {
  const tm& t = *_value.asTime;
  if (t.tm_year >= 1000 && t.tm_year <= 9999 && t.tm_mon >= 0 && t.tm_mon <= 99 && t.tm_mday >= 0 &&
      t.tm_mday <= 99 && t.tm_hour >= 0 && t.tm_hour <= 99 && t.tm_min >= 0 && t.tm_min <= 99 &&
      t.tm_sec >= 0 && t.tm_sec <= 99) {
    // The 17 characters that the format gives for fields in their usual widths.
    char buf[17];
    putDigits(buf, t.tm_year, 4);
    putDigits(buf + 4, t.tm_mon, 2);
    putDigits(buf + 6, t.tm_mday, 2);
    buf[8] = 'T';
    putDigits(buf + 9, t.tm_hour, 2);
    buf[11] = ':';
    putDigits(buf + 12, t.tm_min, 2);
    buf[14] = ':';
    putDigits(buf + 15, t.tm_sec, 2);
    appendTypedValue(xml, DATETIME_TAG, std::string_view(buf, sizeof(buf)), DATETIME_ETAG);
    return;
  }
  char buf[DATE_BUFFER_SIZE];
  formatDate(t, buf);
  appendTypedValue(xml, DATETIME_TAG, buf, DATETIME_ETAG);
}

void XmlRpcValue::binaryToXml(std::string& xml) const {
  const BinaryData& bytes = *_value.asBinary;
  appendLiteral(xml, VALUE_TAG);
  appendLiteral(xml, BASE64_TAG);
  Base64Coder::putAppend(bytes.data(), bytes.size(), xml);
  appendLiteral(xml, BASE64_ETAG);
  appendLiteral(xml, VALUE_ETAG);
}

void XmlRpcValue::arrayToXml(std::string& xml) const {
  appendLiteral(xml, VALUE_TAG);
  appendLiteral(xml, ARRAY_TAG);
  appendLiteral(xml, DATA_TAG);
  for (const XmlRpcValue& element : *_value.asArray)
    element.toXml(xml);
  appendLiteral(xml, DATA_ETAG);
  appendLiteral(xml, ARRAY_ETAG);
  appendLiteral(xml, VALUE_ETAG);
}

void XmlRpcValue::structToXml(std::string& xml) const {
  appendLiteral(xml, VALUE_TAG);
  appendLiteral(xml, STRUCT_TAG);
  for (const auto& member : *_value.asStruct) {
    appendLiteral(xml, MEMBER_TAG);
    appendLiteral(xml, NAME_TAG);
    XmlRpcUtil::xmlEncode(std::string_view(member.first), xml);
    appendLiteral(xml, NAME_ETAG);
    member.second.toXml(xml);
    appendLiteral(xml, MEMBER_ETAG);
  }
  appendLiteral(xml, STRUCT_ETAG);
  appendLiteral(xml, VALUE_ETAG);
}

std::string XmlRpcValue::boolToXml() const {
  return written([this](std::string& xml) { boolToXml(xml); });
}

std::string XmlRpcValue::intToXml() const {
  return written([this](std::string& xml) { intToXml(xml); });
}

std::string XmlRpcValue::doubleToXml() const {
  return written([this](std::string& xml) { doubleToXml(xml); });
}

std::string XmlRpcValue::stringToXml() const {
  return written([this](std::string& xml) { stringToXml(xml); });
}

std::string XmlRpcValue::timeToXml() const {
  return written([this](std::string& xml) { timeToXml(xml); });
}

std::string XmlRpcValue::binaryToXml() const {
  return written([this](std::string& xml) { binaryToXml(xml); });
}

std::string XmlRpcValue::arrayToXml() const {
  return written([this](std::string& xml) { arrayToXml(xml); });
}

std::string XmlRpcValue::structToXml() const {
  return written([this](std::string& xml) { structToXml(xml); });
}

}  // namespace XmlRpc
