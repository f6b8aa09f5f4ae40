// The XML-RPC text form of values: the reader of <value> elements and the writers.
#include "XmlRpcValue.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
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
const char I8_TAG[] = "<i8>";
const char EX_I8_TAG[] = "<ex:i8>";
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
const char NIL_VALUE[] = "<value><nil/></value>";
const char CDATA_OPEN[] = "<![CDATA[";
const char CDATA_CLOSE[] = "]]>";
constexpr std::size_t CDATA_OPEN_LENGTH = sizeof(CDATA_OPEN) - 1;
constexpr std::size_t CDATA_CLOSE_LENGTH = sizeof(CDATA_CLOSE) - 1;

// Numbers are formatted on the stack; texts are cut to two less than this,
// except a double, which is then formatted again in full.
constexpr int NUMBER_BUFFER_SIZE = 256;
// An int's text: a sign and ten digits.
constexpr std::size_t INT_ROOM = 11;
// Any double's shortest fixed text: a sign, "0.", 323 zeros and 17 digits at
// most, or 309 digits, the point and six places.
constexpr std::size_t FIXED_DOUBLE_ROOM = 1 + 2 + 323 + 17;
// The stored bits of a double's significand.
constexpr std::uint64_t MANTISSA_BITS = (std::uint64_t(1) << 52) - 1;
// Room for any double in "%.16e": a sign, 17 digits, the point and "e-308".
constexpr int SCIENTIFIC_BUFFER_SIZE = 32;
// Seventeen significant digits read back as the same double, whatever it is.
constexpr int MAX_DOUBLE_PRECISION = 16;
// A failure names the text that could not be read, cut to this many characters.
constexpr std::size_t FAILURE_DETAIL_LENGTH = 40;

// The elements that a server may send empty and self-closing, with or without
// blanks before the slash, and the value each one stands for.
struct EmptyForm {
  std::string_view name;
  XmlRpcValue::Type type;
};
const EmptyForm EMPTY_FORMS[] = {
    {"string", XmlRpcValue::TypeString}, {"struct", XmlRpcValue::TypeStruct},
    {"array", XmlRpcValue::TypeArray},   {"base64", XmlRpcValue::TypeBase64},
    {"nil", XmlRpcValue::TypeNil},       {"ex:nil", XmlRpcValue::TypeNil}};

typedef base64<char> Base64Coder;

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

// What strtod reads from `start`, up to `end`, where the text ends; returns the
// end of the numeral (`start` when there is none). A plain decimal numeral is
// read by std::from_chars, which rounds as strtod does at a fraction of the
// cost; strtod takes the rest: blanks, a plus sign, words, hexadecimal and
// numbers beyond the range of a double.
const char* readDouble(const char* start, const char* end, double* d) {
  const char* p = start + (*start == '-');
  if ((*p >= '0' && *p <= '9') || (*p == '.' && p[1] >= '0' && p[1] <= '9')) {
    const std::from_chars_result read = std::from_chars(start, end, *d);
    if (read.ec == std::errc() && *read.ptr != 'x' && *read.ptr != 'X') return read.ptr;
  }
  char* stop = nullptr;
  *d = std::strtod(start, &stop);
  return stop;
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

// How deep the container readers of this thread are. Any failure fails every
// enclosing container, so a refusal to go deeper needs no flag of its own.
thread_local int decodeDepth = 0;

class NestingGuard {
 public:
  NestingGuard() : _entered(++decodeDepth <= XmlRpcValue::MAX_NESTING_DEPTH) {}
  ~NestingGuard() { --decodeDepth; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  bool entered() const { return _entered; }

 private:
  bool _entered;
};

// Why the current read failed, kept by the innermost reader that knew: every
// failure fails the readers around it, which then have nothing to add.
thread_local std::string decodeFailure;

// The elements read so far of the arrays being read on this thread, the
// innermost array's last: each array is allocated once, at its final size,
// when its last element is in.
thread_local XmlRpcValue::ValueArray pendingElements;
// Room for this many pending elements is kept between reads; a longer list is
// freed when the outermost array is built, so that it is no heap held in vain.
constexpr std::size_t KEPT_PENDING_ELEMENTS = 1024;

// One array's stretch of the pending elements, dropped when its reader returns.
class PendingElements {
 public:
  PendingElements() : _first(pendingElements.size()) {}
  ~PendingElements() {
    pendingElements.erase(pendingElements.begin() + static_cast<std::ptrdiff_t>(_first),
                          pendingElements.end());
    if (_first == 0 && pendingElements.capacity() > KEPT_PENDING_ELEMENTS)
      XmlRpcValue::ValueArray().swap(pendingElements);
  }
  PendingElements(const PendingElements&) = delete;
  PendingElements& operator=(const PendingElements&) = delete;

  void add(XmlRpcValue& element) { pendingElements.push_back(std::move(element)); }
  // The elements, each of which hands over its payload when taken.
  std::move_iterator<XmlRpcValue::ValueArray::iterator> begin() const {
    return std::make_move_iterator(pendingElements.begin() + static_cast<std::ptrdiff_t>(_first));
  }
  std::move_iterator<XmlRpcValue::ValueArray::iterator> end() const {
    return std::make_move_iterator(pendingElements.end());
  }

 private:
  std::size_t _first;
};

// Notes why the read fails, with the text in question; returns false.
bool failBecause(const char* reason, std::string_view detail = std::string_view()) {
  if (!decodeFailure.empty()) return false;
  decodeFailure = reason;
  if (!detail.empty()) {
    decodeFailure += ": ";
    decodeFailure.append(detail.data(), std::min(detail.length(), FAILURE_DETAIL_LENGTH));
  }
  return false;
}

// isspace in the "C" locale, which the stack never changes.
inline bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::size_t skipSpace(const std::string& xml, std::size_t at) {
  while (at < xml.length() && isSpace(xml[at]))
    ++at;
  return at;
}

// Whether `text` stands at `at`, which is at most the length of `xml`.
template <std::size_t N>
bool literalAt(const std::string& xml, std::size_t at, const char (&text)[N]) {
  return xml.length() - at >= N - 1 && std::memcmp(xml.data() + at, text, N - 1) == 0;
}

// XmlRpcUtil::nextTagIs for a tag whose length is known here, which makes its
// comparison a few instructions.
template <std::size_t N>
bool skipTag(const std::string& xml, int* offset, const char (&tag)[N]) {
  if (*offset < 0 || static_cast<std::size_t>(*offset) >= xml.length()) return false;
  const std::size_t at = skipSpace(xml, static_cast<std::size_t>(*offset));
  if (!literalAt(xml, at, tag)) return false;
  *offset = static_cast<int>(at + N - 1);
  return true;
}

// The first `c` at or after `at`, or npos; memchr without std::string::find's call.
std::size_t findChar(const std::string& xml, char c, std::size_t at) {
  const void* found = std::memchr(xml.data() + at, c, xml.length() - at);
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - xml.data())
               : std::string::npos;
}

// The type elements that values usually start with, and the type each stands for.
struct TypeTag {
  std::string_view text;
  XmlRpcValue::Type type;
};
const TypeTag USUAL_TYPE_TAGS[] = {{STRING_TAG, XmlRpcValue::TypeString},
                                   {STRUCT_TAG, XmlRpcValue::TypeStruct},
                                   {I4_TAG, XmlRpcValue::TypeInt},
                                   {INT_TAG, XmlRpcValue::TypeInt},
                                   {I8_TAG, XmlRpcValue::TypeInt},
                                   {EX_I8_TAG, XmlRpcValue::TypeInt},
                                   {ARRAY_TAG, XmlRpcValue::TypeArray},
                                   {DOUBLE_TAG, XmlRpcValue::TypeDouble},
                                   {DATETIME_TAG, XmlRpcValue::TypeDateTime},
                                   {BOOLEAN_TAG, XmlRpcValue::TypeBoolean},
                                   {BASE64_TAG, XmlRpcValue::TypeBase64}};

// The usual type element that opens at `at`, or an empty text and TypeInvalid
// for anything else, which the general reading of a tag then takes.
TypeTag usualTypeTag(const std::string& xml, std::size_t at) {
  if (at == xml.length() || xml[at] != '<') return TypeTag{{}, XmlRpcValue::TypeInvalid};
  // The second character tells most tags apart before any comparison.
  for (const TypeTag& tag : USUAL_TYPE_TAGS) {
    if (tag.text[1] == xml[at + 1] && xml.length() - at >= tag.text.length() &&
        std::memcmp(xml.data() + at, tag.text.data(), tag.text.length()) == 0)
      return tag;
  }
  return TypeTag{{}, XmlRpcValue::TypeInvalid};
}

// The text from `at` to the next tag, without the whitespace around it.
std::string_view textAt(const std::string& xml, std::size_t at) {
  at = skipSpace(xml, at);
  std::size_t end = std::min(xml.find('<', at), xml.length());
  while (end > at && isSpace(xml[end - 1]))
    --end;
  return std::string_view(xml).substr(at, end - at);
}

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

// Whether only whitespace lies between `at` and the next tag. A number's
// element holding anything more does not hold the number the server meant.
bool onlyBlanksBeforeTag(const std::string& xml, std::size_t at) {
  at = skipSpace(xml, at);
  return at < xml.length() && xml[at] == '<' && !opensCdata(xml, at);
}

// Whether a closing tag comes next, after whitespace: where an array's or a
// struct's next element or member should start, nothing else may.
bool closingTagNext(const std::string& xml, int offset) {
  const std::size_t at = skipSpace(xml, static_cast<std::size_t>(offset));
  return xml.compare(at, 2, "</") == 0;
}

// Appends the character data from `start` to the tag at `lt`, with CDATA
// sections; returns where it ends, or npos when a section does not end.
std::size_t appendCharacterData(const std::string& xml, std::size_t start, std::size_t lt,
                                std::string& out) {
  if (xml[lt + 1] == '!' && opensCdata(xml, lt)) return appendTextWithCdata(xml, start, lt, out);
  XmlRpcUtil::xmlDecode(std::string_view(xml).substr(start, lt - start), out);
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

// Moves past the empty element "<name/>", or "<name />" with blanks before the
// slash, when it comes next after whitespace.
bool skipEmptyElement(const std::string& xml, int* offset, std::string_view name) {
  if (*offset < 0) return false;
  std::size_t at = skipSpace(xml, static_cast<std::size_t>(*offset));
  if (at == xml.length() || xml[at] != '<' || xml.compare(at + 1, name.length(), name) != 0)
    return false;
  at = skipSpace(xml, at + 1 + name.length());
  if (xml.compare(at, 2, "/>") != 0) return false;
  *offset = static_cast<int>(at + 2);
  return true;
}

// The value that an empty type element such as "<nil/>" or "<string />"
// stands for; TypeInvalid for any other tag.
XmlRpcValue::Type emptyElementType(std::string_view tag) {
  if (tag.length() < 4 || tag.substr(tag.length() - 2) != "/>") return XmlRpcValue::TypeInvalid;
  std::string_view name = tag.substr(1, tag.length() - 3);
  while (!name.empty() && isSpace(name.back()))
    name.remove_suffix(1);
  for (const EmptyForm& form : EMPTY_FORMS)
    if (form.name == name) return form.type;
  return XmlRpcValue::TypeInvalid;
}

// Reads the member name that comes next, a <name> element or an empty one, into
// `name` and moves the offset past it. With neither, or a <name> that does not
// end, the name is "" and the offset stays, so that the member's value fails.
void readName(const std::string& xml, int* offset, std::string& name) {
  int content = *offset;
  if (!skipTag(xml, &content, NAME_TAG)) {
    skipEmptyElement(xml, offset, "name");
    return;
  }
  const std::size_t start = static_cast<std::size_t>(content);
  const std::size_t lt = findChar(xml, '<', start);
  if (lt != std::string::npos && literalAt(xml, lt, NAME_ETAG)) {
    // The usual name, with no markup in it.
    XmlRpcUtil::xmlDecode(std::string_view(xml).substr(start, lt - start), name);
    *offset = static_cast<int>(lt + sizeof(NAME_ETAG) - 1);
    return;
  }
  const std::size_t close = xml.find(NAME_ETAG, start);
  if (close == std::string::npos) return;
  const std::string_view raw = std::string_view(xml).substr(start, close - start);
  // A name shorter than the opening of a CDATA section cannot hold one.
  if (raw.length() < CDATA_OPEN_LENGTH || raw.find('<') == std::string_view::npos) {
    XmlRpcUtil::xmlDecode(raw, name);
    *offset = static_cast<int>(close + sizeof(NAME_ETAG) - 1);
    return;
  }
  const std::size_t end = readCdataName(xml, start, close, name);
  if (end == std::string_view::npos) {
    name.clear();
    return;
  }
  *offset = static_cast<int>(end);
}

// Moves past the "</value>" that ends an element whose content has been read.
// Text before it is passed over, but not the start of another element, which
// would be lost unread; without a "</value>" the offset stays.
bool skipToValueEnd(const std::string& xml, int* offset) {
  constexpr std::size_t etagLength = sizeof(VALUE_ETAG) - 1;
  if (literalAt(xml, static_cast<std::size_t>(*offset), VALUE_ETAG)) {
    *offset += static_cast<int>(etagLength);
    return true;
  }
  for (std::size_t lt = xml.find('<', static_cast<std::size_t>(*offset)); lt != std::string::npos;
       lt = xml.find('<', lt + 1)) {
    if (xml[lt + 1] != '/')
      return failBecause("an element before </value>", std::string_view(xml).substr(lt));
    if (xml.length() - lt >= etagLength && std::memcmp(&xml[lt], VALUE_ETAG, etagLength) == 0) {
      *offset = static_cast<int>(lt + etagLength);
      return true;
    }
  }
  return true;
}

// The text of `value` with the fewest digits after the point that reads back as
// `value`, and no exponent. The fewest significant digits that read back give it;
// more digits never read back worse, so they are found by halving.
std::string shortestFixed(double value) {
  char text[SCIENTIFIC_BUFFER_SIZE];
  int low = 0;
  int high = MAX_DOUBLE_PRECISION;
  while (low < high) {
    const int middle = (low + high) / 2;
    std::snprintf(text, sizeof(text), "%.*e", middle, value);
    if (std::strtod(text, nullptr) == value)
      high = middle;
    else
      low = middle + 1;
  }
  std::snprintf(text, sizeof(text), "%.*e", low, value);
  // The text is [-]D[.DDD]e<exponent>; its digits are placed around the point.
  const char* p = text;
  std::string fixed;
  if (*p == '-') fixed += *p++;
  std::string digits(1, *p);
  if (low > 0) digits.append(p + 2, static_cast<std::size_t>(low));
  const int exponent = std::atoi(std::strchr(p, 'e') + 1);
  if (exponent < 0) {
    fixed += "0.";
    fixed.append(static_cast<std::size_t>(-exponent - 1), '0');
    fixed += digits;
  } else {
    const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.length() < whole) digits.append(whole - digits.length(), '0');
    fixed.append(digits, 0, whole);
    if (digits.length() > whole) fixed.append(".").append(digits, whole, std::string::npos);
  }
  return fixed;
}

// Where a reader may start: inside the text or at its end.
bool readableOffset(const std::string& xml, int offset) {
  return offset >= 0 && static_cast<std::size_t>(offset) <= xml.length();
}

// What "%f" writes for `value`, or, when its six places do not read back as
// `value`, the text with the fewest places that does; `format` otherwise.
std::string formatDouble(const std::string& format, double value) {
  char buf[NUMBER_BUFFER_SIZE] = "";
  const int length = std::snprintf(buf, NUMBER_BUFFER_SIZE - 1, format.c_str(), value);
  if (length > NUMBER_BUFFER_SIZE - 2) {
    // Cutting the text would put another number on the wire (1e300 under "%f").
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(&text[0], text.length() + 1, format.c_str(), value);
    return text;
  }
  // The default six places lose what lies beyond them (1e-7 would leave as 0):
  // such a double leaves with as few places as read back as the same double.
  if (format == "%f" && std::strtod(buf, nullptr) != value && value == value)
    return shortestFixed(value);
  return buf;
}

// Out of line: the coder's loop runs its best on its own, not inlined among the
// writers of every other type.
[[gnu::noinline]] void appendBase64(const XmlRpcValue::BinaryData& bytes, std::string& xml) {
  Base64Coder::putAppend(bytes.data(), bytes.size(), xml);
}

// Below 2^33 the doubles lie less than a millionth apart, so the nearest text
// with six places is the shortest text that reads back, padded with zeros.
constexpr double SIX_PLACES_EXACT_BELOW = 8589934592.0;
constexpr int SIX_PLACES = 6;

// formatDouble's text under "%f" in one conversion, into `text`, which has room
// for FIXED_DOUBLE_ROOM characters: std::to_chars gives the shortest fixed text
// that reads back, which six places hold for most doubles below 2^33 and for
// every integer (whose digits it writes in full, as "%f" does). Returns the
// length, or 0 for the doubles where the two part, which formatDouble writes.
std::size_t sixPlacesAtOnce(char* text, double value) {
  if (!(std::fabs(value) < SIX_PLACES_EXACT_BELOW) &&
      !(std::isfinite(value) && std::trunc(value) == value))
    return 0;
  const std::to_chars_result written =
      std::to_chars(text, text + FIXED_DOUBLE_ROOM, value, std::chars_format::fixed);
  if (written.ec != std::errc()) return 0;
  char* end = written.ptr;
  const char* point = static_cast<const char*>(std::memchr(text, '.', end - text));
  const std::size_t places = point ? static_cast<std::size_t>(end - point - 1) : 0;
  if (places > SIX_PLACES) {
    // A power of two has a closer neighbour below than above: the shortest text
    // may then lie above it where the search of shortestFixed settles below.
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return (bits & MANTISSA_BITS) == 0 ? 0 : static_cast<std::size_t>(end - text);
  }
  if (!point) *end++ = '.';
  for (std::size_t i = places; i < SIX_PLACES; ++i)
    *end++ = '0';
  return static_cast<std::size_t>(end - text);
}

}  // namespace

std::string XmlRpcValue::_doubleFormat("%f");

XmlRpcValue::XmlRpcValue(const std::string& xml, int* offset) : _type(TypeInvalid) {
  fromXml(xml, offset);
}

// ---- XML decoding ----

bool XmlRpcValue::fromXml(const std::string& valueXml, int* offset, std::string& failure) {
  decodeFailure.clear();
  const bool read = fromXml(valueXml, offset);
  failure = read ? std::string() : decodeFailure;
  return read;
}

bool XmlRpcValue::fromXml(const std::string& valueXml, int* offset) {
  const int savedOffset = *offset;
  if (_type != TypeInvalid) invalidate();
  if (!skipTag(valueXml, offset, VALUE_TAG)) {
    // An empty string with no closing tag to look for.
    if (!skipEmptyElement(valueXml, offset, "value")) return false;
    assertTypeOrInvalid(TypeString);
    return true;
  }
  const int afterValueOffset = *offset;
  const std::size_t at = skipSpace(valueXml, static_cast<std::size_t>(*offset));
  const TypeTag usual = usualTypeTag(valueXml, at);
  if (usual.type != TypeInvalid) *offset = static_cast<int>(at + usual.text.length());
  // Any other tag is read whole; no tag at all starts an untyped string.
  const std::string_view typeTag = usual.type == TypeInvalid && valueXml[at] == '<'
                                       ? XmlRpcUtil::getNextTagView(valueXml, offset)
                                       : std::string_view();

  bool read = false;
  if (usual.type == TypeString || (usual.type == TypeInvalid && typeTag.empty())) {
    read = stringFromXml(valueXml, offset);
  } else if (usual.type == TypeInt) {
    read = intFromXml(valueXml, offset);
  } else if (usual.type == TypeStruct) {
    read = structFromXml(valueXml, offset);
  } else if (usual.type == TypeArray) {
    read = arrayFromXml(valueXml, offset);
  } else if (usual.type == TypeDouble) {
    read = doubleFromXml(valueXml, offset);
  } else if (usual.type == TypeBoolean) {
    read = boolFromXml(valueXml, offset);
  } else if (usual.type == TypeDateTime) {
    read = timeFromXml(valueXml, offset);
  } else if (usual.type == TypeBase64) {
    read = binaryFromXml(valueXml, offset);
  } else if (typeTag == VALUE_ETAG || opensCdata(typeTag, 0)) {
    // An untyped value holding nothing but whitespace, or text from a CDATA section on.
    *offset = afterValueOffset;
    read = stringFromXml(valueXml, offset);
  } else if (const Type empty = emptyElementType(typeTag); empty != TypeInvalid) {
    // The value is still invalid: it becomes the empty payload of that type.
    assertTypeOrInvalid(empty);
    read = true;
  } else {
    failBecause("an unknown type", typeTag);
  }

  if (!read || !skipToValueEnd(valueXml, offset)) {
    invalidate();
    *offset = savedOffset;
    return false;
  }
  return true;
}

bool XmlRpcValue::boolFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const char* start = valueXml.c_str() + *offset;
  long n = 0;
  const char* end = readLong(start, &n);
  if (end == start) {
    // The words, as some servers write them.
    const std::size_t word = skipSpace(valueXml, static_cast<std::size_t>(*offset));
    if (valueXml.compare(word, 4, "true") == 0) {
      n = 1;
      end = valueXml.c_str() + word + 4;
    } else if (valueXml.compare(word, 5, "false") == 0) {
      n = 0;
      end = valueXml.c_str() + word + 5;
    }
  }
  const std::size_t after = static_cast<std::size_t>(end - valueXml.c_str());
  if (end == start || n < 0 || n > 1 || !onlyBlanksBeforeTag(valueXml, after))
    return failBecause("not a boolean", textAt(valueXml, static_cast<std::size_t>(*offset)));
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
  if (end == start ||
      !onlyBlanksBeforeTag(valueXml, static_cast<std::size_t>(end - valueXml.c_str())))
    return failBecause("not an integer", textAt(valueXml, static_cast<std::size_t>(*offset)));
  // Beyond 32 bits strtol's own limit is out of range too.
  if (n < INT_MIN || n > INT_MAX)
    return failBecause("an integer beyond 32 bits",
                       textAt(valueXml, static_cast<std::size_t>(*offset)));
  invalidate();
  _value.asInt = static_cast<int>(n);
  _type = TypeInt;
  *offset += static_cast<int>(end - start);
  return true;
}

bool XmlRpcValue::doubleFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const char* start = valueXml.c_str() + *offset;
  double d = 0;
  const char* end = readDouble(start, valueXml.c_str() + valueXml.length(), &d);
  if (end == start ||
      !onlyBlanksBeforeTag(valueXml, static_cast<std::size_t>(end - valueXml.c_str())))
    return failBecause("not a double", textAt(valueXml, static_cast<std::size_t>(*offset)));
  invalidate();
  _value.asDouble = d;
  _type = TypeDouble;
  *offset += static_cast<int>(end - start);
  return true;
}

bool XmlRpcValue::stringFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const std::size_t start = static_cast<std::size_t>(*offset);
  std::size_t end = findChar(valueXml, '<', start);
  if (end == std::string::npos) return false;
  const char* text = valueXml.data() + start;
  if (valueXml[end + 1] != '!' && std::memchr(text, '&', end - start) == nullptr) {
    // Plain text, the usual case, is the string as it stands.
    invalidate();
    new (&_value.asString) std::string(text, end - start);
  } else {
    std::string decoded;
    end = appendCharacterData(valueXml, start, end, decoded);
    if (end == std::string::npos) return false;
    invalidate();
    new (&_value.asString) std::string(std::move(decoded));
  }
  _type = TypeString;
  *offset = static_cast<int>(end);
  return true;
}

bool XmlRpcValue::timeFromXml(const std::string& valueXml, int* offset) {
  if (!readableOffset(valueXml, *offset)) return false;
  const std::size_t start = static_cast<std::size_t>(*offset);
  const std::size_t end = findChar(valueXml, '<', start);
  if (end == std::string::npos) return false;
  tm t = tm();
  const std::size_t from = skipSpace(valueXml, start);
  const char* d = valueXml.data() + from;
  const std::size_t length = end - from;
  const bool extended = length >= 19 && d[4] == '-';
  std::size_t used = 0;
  if (extended) {
    // 2026-02-07T12:34:56, as some servers write it.
    if (isDigits(d, 4) && isDigits(d + 5, 2) && d[7] == '-' && isDigits(d + 8, 2) && d[10] == 'T' &&
        isDigits(d + 11, 2) && d[13] == ':' && isDigits(d + 14, 2) && d[16] == ':' &&
        isDigits(d + 17, 2)) {
      t.tm_year = digitsValue(d, 4);
      t.tm_mon = digitsValue(d + 5, 2);
      t.tm_mday = digitsValue(d + 8, 2);
      t.tm_hour = digitsValue(d + 11, 2);
      t.tm_min = digitsValue(d + 14, 2);
      t.tm_sec = digitsValue(d + 17, 2);
      used = 19;
    }
  } else if (length >= 17 && isDigits(d, 8) && d[8] == 'T' && isDigits(d + 9, 2) && d[11] == ':' &&
             isDigits(d + 12, 2) && d[14] == ':' && isDigits(d + 15, 2)) {
    // The plain form, read as sscanf reads it.
    t.tm_year = digitsValue(d, 4);
    t.tm_mon = digitsValue(d + 4, 2);
    t.tm_mday = digitsValue(d + 6, 2);
    t.tm_hour = digitsValue(d + 9, 2);
    t.tm_min = digitsValue(d + 12, 2);
    t.tm_sec = digitsValue(d + 15, 2);
    used = 17;
  } else {
    // sscanf measures its whole input, so it gets the date text alone.
    const std::string text = valueXml.substr(from, length);
    int count = 0;
    if (std::sscanf(text.c_str(), "%4d%2d%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &count) == 6)
      used = static_cast<std::size_t>(count);
  }
  if (used == 0) return failBecause("not a date", textAt(valueXml, start));
  // After the seconds: a fraction, which is dropped, and the zone, which must be UTC.
  std::string_view rest(d + used, length - used);
  if (!rest.empty() && rest[0] == '.') {
    std::size_t digits = 1;
    while (digits < rest.length() && rest[digits] >= '0' && rest[digits] <= '9')
      ++digits;
    rest.remove_prefix(digits);
  }
  if (!rest.empty() && rest[0] == 'Z') {
    rest.remove_prefix(1);
  } else if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    if (rest.compare(1, 5, "00:00") != 0)
      return failBecause("a date not in UTC", textAt(valueXml, start));
    rest.remove_prefix(6);
  }
  // The plain form passes over any text after its seconds.
  if (extended && rest.find_first_not_of(" \t\n\v\f\r") != std::string_view::npos)
    return failBecause("not a date", textAt(valueXml, start));
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
  std::size_t end = findChar(valueXml, '<', start);
  if (end == std::string::npos) return false;
  BinaryData bytes;
  const char* text = valueXml.data() + start;
  if (std::memchr(text, '&', end - start) == nullptr && !opensCdata(valueXml, end)) {
    Base64Coder::getAppend(text, valueXml.data() + end, bytes);
  } else {
    // Character data like any other: "&#10;" is a line break, which the decoder skips.
    std::string decoded;
    end = appendCharacterData(valueXml, start, end, decoded);
    if (end == std::string::npos) return false;
    Base64Coder::getAppend(decoded.data(), decoded.data() + decoded.length(), bytes);
  }
  invalidate();
  new (&_value.asBinary) BinaryData(std::move(bytes));
  _type = TypeBase64;
  *offset = static_cast<int>(end);
  return true;
}

bool XmlRpcValue::arrayFromXml(const std::string& valueXml, int* offset) {
  NestingGuard nesting;
  if (!nesting.entered()) return failBecause("values nested too deeply");
  if (!skipTag(valueXml, offset, DATA_TAG)) {
    if (!skipEmptyElement(valueXml, offset, "data")) return failBecause("an array without <data>");
    invalidate();
    setSize(0);
    return true;
  }
  PendingElements elements;
  XmlRpcValue element;
  while (element.fromXml(valueXml, offset))
    elements.add(element);
  // Only a closing tag ends the elements: an element that did not read fails the array.
  if (!closingTagNext(valueXml, *offset)) {
    failBecause("not an array element",
                std::string_view(valueXml).substr(skipSpace(valueXml, *offset)));
    invalidate();
    return false;
  }
  invalidate();
  new (&_value.asArray) ValueArray(elements.begin(), elements.end());
  _type = TypeArray;
  skipTag(valueXml, offset, DATA_ETAG);
  return true;
}

bool XmlRpcValue::structFromXml(const std::string& valueXml, int* offset) {
  NestingGuard nesting;
  if (!nesting.entered()) return failBecause("values nested too deeply");
  invalidate();
  _value.asStruct = new ValueStruct();
  _type = TypeStruct;

  ValueStruct& members = *_value.asStruct;
  std::string name;
  XmlRpcValue repeated;
  while (skipTag(valueXml, offset, MEMBER_TAG)) {
    name.clear();
    readName(valueXml, offset, name);
    // Members usually come in name order, so the end is the likely place.
    const std::size_t count = members.size();
    auto slot = members.try_emplace(members.end(), std::move(name));
    // A repeated name keeps the member read first.
    XmlRpcValue& member = members.size() != count ? slot->second : repeated;
    if (!member.fromXml(valueXml, offset)) {
      failBecause("a struct member without a value",
                  std::string_view(valueXml).substr(skipSpace(valueXml, *offset)));
      invalidate();
      return false;
    }
    skipTag(valueXml, offset, MEMBER_ETAG);
  }
  // Only a closing tag ends the members.
  if (!closingTagNext(valueXml, *offset)) {
    failBecause("not a struct member",
                std::string_view(valueXml).substr(skipSpace(valueXml, *offset)));
    invalidate();
    return false;
  }
  return true;
}

// ---- XML encoding ----

// Gathers the text on the stack and appends it to the output in large pieces:
// a value's many short tags and texts cost a copy each, not an append each.
class XmlRpcValue::XmlWriter {
 public:
  explicit XmlWriter(std::string& out) : _out(out) {}
  XmlWriter(const XmlWriter&) = delete;
  XmlWriter& operator=(const XmlWriter&) = delete;

  template <std::size_t N>
  void literal(const char (&text)[N]) {
    put(text, N - 1);
  }

  void put(const char* text, std::size_t length) {
    if (length > ROOM - _used) {
      flush();
      if (length > ROOM) {
        _out.append(text, length);
        return;
      }
    }
    std::memcpy(_buffer + _used, text, length);
    _used += length;
  }

  // The text with the five characters that XML reserves written as entities.
  void escaped(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.length();
    while (true) {
      const char* run = p;
      while (p != end && XmlRpcUtil::ENTITY_OF[static_cast<unsigned char>(*p)] == nullptr)
        ++p;
      put(run, static_cast<std::size_t>(p - run));
      if (p == end) return;
      const char* entity = XmlRpcUtil::ENTITY_OF[static_cast<unsigned char>(*p++)];
      put(entity, std::strlen(entity));
    }
  }

  // Room for `length` characters (at most ROOM), which `commit` then takes.
  char* room(std::size_t length) {
    if (length > ROOM - _used) flush();
    return _buffer + _used;
  }
  void commit(std::size_t length) { _used += length; }

  // The output, holding everything written so far.
  std::string& flushed() {
    flush();
    return _out;
  }

 private:
  // Large enough for any number's text: the longest is a double's under "%f".
  static constexpr std::size_t ROOM = 4096;

  void flush() {
    _out.append(_buffer, _used);
    _used = 0;
  }

  std::string& _out;
  std::size_t _used = 0;
  char _buffer[ROOM];
};

void XmlRpcValue::writeXml(XmlWriter& out, Type type) const {
  switch (type) {
    case TypeBoolean:
      out.literal(VALUE_TAG);
      out.literal(BOOLEAN_TAG);
      out.put(_value.asBool ? "1" : "0", 1);
      out.literal(BOOLEAN_ETAG);
      out.literal(VALUE_ETAG);
      break;
    case TypeInt: {
      out.literal(VALUE_TAG);
      out.literal(I4_TAG);
      char* text = out.room(INT_ROOM);
      out.commit(
          static_cast<std::size_t>(std::to_chars(text, text + INT_ROOM, _value.asInt).ptr - text));
      out.literal(I4_ETAG);
      out.literal(VALUE_ETAG);
      break;
    }
    case TypeDouble: {
      out.literal(VALUE_TAG);
      out.literal(DOUBLE_TAG);
      char* text = out.room(FIXED_DOUBLE_ROOM);
      const std::size_t length = _doubleFormat == "%f" ? sixPlacesAtOnce(text, _value.asDouble) : 0;
      if (length != 0) {
        out.commit(length);
      } else {
        const std::string formatted = formatDouble(_doubleFormat, _value.asDouble);
        out.put(formatted.data(), formatted.length());
      }
      out.literal(DOUBLE_ETAG);
      out.literal(VALUE_ETAG);
      break;
    }
    case TypeString:
      out.literal(VALUE_TAG);
      out.escaped(_value.asString);
      out.literal(VALUE_ETAG);
      break;
    case TypeDateTime: {
      out.literal(VALUE_TAG);
      out.literal(DATETIME_TAG);
      const tm& t = *_value.asTime;
      if (t.tm_year >= 1000 && t.tm_year <= 9999 && t.tm_mon >= 0 && t.tm_mon <= 99 &&
          t.tm_mday >= 0 && t.tm_mday <= 99 && t.tm_hour >= 0 && t.tm_hour <= 99 && t.tm_min >= 0 &&
          t.tm_min <= 99 && t.tm_sec >= 0 && t.tm_sec <= 99) {
        // The 17 characters that the format gives for fields in their usual widths.
        char* buf = out.room(17);
        putDigits(buf, t.tm_year, 4);
        putDigits(buf + 4, t.tm_mon, 2);
        putDigits(buf + 6, t.tm_mday, 2);
        buf[8] = 'T';
        putDigits(buf + 9, t.tm_hour, 2);
        buf[11] = ':';
        putDigits(buf + 12, t.tm_min, 2);
        buf[14] = ':';
        putDigits(buf + 15, t.tm_sec, 2);
        out.commit(17);
      } else {
        char buf[DATE_BUFFER_SIZE];
        formatDate(t, buf);
        out.put(buf, std::strlen(buf));
      }
      out.literal(DATETIME_ETAG);
      out.literal(VALUE_ETAG);
      break;
    }
    case TypeBase64:
      out.literal(VALUE_TAG);
      out.literal(BASE64_TAG);
      appendBase64(_value.asBinary, out.flushed());
      out.literal(BASE64_ETAG);
      out.literal(VALUE_ETAG);
      break;
    case TypeArray:
      out.literal(VALUE_TAG);
      out.literal(ARRAY_TAG);
      out.literal(DATA_TAG);
      for (const XmlRpcValue& element : _value.asArray)
        element.writeXml(out, element._type);
      out.literal(DATA_ETAG);
      out.literal(ARRAY_ETAG);
      out.literal(VALUE_ETAG);
      break;
    case TypeStruct:
      out.literal(VALUE_TAG);
      out.literal(STRUCT_TAG);
      for (const auto& member : *_value.asStruct) {
        out.literal(MEMBER_TAG);
        out.literal(NAME_TAG);
        out.escaped(member.first);
        out.literal(NAME_ETAG);
        member.second.writeXml(out, member.second._type);
        out.literal(MEMBER_ETAG);
      }
      out.literal(STRUCT_ETAG);
      out.literal(VALUE_ETAG);
      break;
    case TypeNil:
      out.literal(NIL_VALUE);
      break;
    default:
      break;
  }
}

void XmlRpcValue::writeAs(std::string& xml, Type type) const {
  XmlWriter out(xml);
  writeXml(out, type);
  out.flushed();
}

std::string XmlRpcValue::writtenAs(Type type) const {
  std::string xml;
  writeAs(xml, type);
  return xml;
}

void XmlRpcValue::toXml(std::string& xml) const {
  writeAs(xml, _type);
}

std::string XmlRpcValue::toXml() const {
  return writtenAs(_type);
}

void XmlRpcValue::boolToXml(std::string& xml) const {
  writeAs(xml, TypeBoolean);
}

std::string XmlRpcValue::boolToXml() const {
  return writtenAs(TypeBoolean);
}

void XmlRpcValue::intToXml(std::string& xml) const {
  writeAs(xml, TypeInt);
}

std::string XmlRpcValue::intToXml() const {
  return writtenAs(TypeInt);
}

void XmlRpcValue::doubleToXml(std::string& xml) const {
  writeAs(xml, TypeDouble);
}

std::string XmlRpcValue::doubleToXml() const {
  return writtenAs(TypeDouble);
}

void XmlRpcValue::stringToXml(std::string& xml) const {
  writeAs(xml, TypeString);
}

std::string XmlRpcValue::stringToXml() const {
  return writtenAs(TypeString);
}

void XmlRpcValue::timeToXml(std::string& xml) const {
  writeAs(xml, TypeDateTime);
}

std::string XmlRpcValue::timeToXml() const {
  return writtenAs(TypeDateTime);
}

void XmlRpcValue::binaryToXml(std::string& xml) const {
  writeAs(xml, TypeBase64);
}

std::string XmlRpcValue::binaryToXml() const {
  return writtenAs(TypeBase64);
}

void XmlRpcValue::arrayToXml(std::string& xml) const {
  writeAs(xml, TypeArray);
}

std::string XmlRpcValue::arrayToXml() const {
  return writtenAs(TypeArray);
}

void XmlRpcValue::structToXml(std::string& xml) const {
  writeAs(xml, TypeStruct);
}

std::string XmlRpcValue::structToXml() const {
  return writtenAs(TypeStruct);
}

}  // namespace XmlRpc
