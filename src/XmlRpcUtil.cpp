// Logging and error reporting, and the XML tag scanners and entity coders.
#include "XmlRpcUtil.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace XmlRpc {

const char XMLRPC_VERSION[] = "CORVANE 0.7";

namespace {

// Formatted messages are cut to fit this buffer, the last byte kept for the NUL.
constexpr int MESSAGE_BUFFER_SIZE = 1024;

// Writes `msg` and its newline with one write(), so that lines written by
// several threads, or processes, never mix within a line. What the program
// has put in the stream's buffer goes out first, to keep the order.
void writeLine(std::FILE* stream, const char* msg) {
  char line[MESSAGE_BUFFER_SIZE + 1];
  size_t length = std::min(std::strlen(msg), sizeof(line) - 1);
  std::memcpy(line, msg, length);
  line[length++] = '\n';
  const int savedErrno = errno;
  std::fflush(stream);
  const int fd = fileno(stream);
  for (size_t done = 0; done < length;) {
    const ssize_t n = ::write(fd, line + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  errno = savedErrno;
}

class DefaultLogHandler : public XmlRpcLogHandler {
 public:
  void log(int level, const char* msg) override {
    if (level <= _verbosity) writeLine(stdout, msg);
  }
};

class DefaultErrorHandler : public XmlRpcErrorHandler {
 public:
  void error(const char* msg) override { writeLine(stderr, msg); }
};

void formatMessage(char (&buf)[MESSAGE_BUFFER_SIZE], const char* fmt, va_list va) {
  std::vsnprintf(buf, MESSAGE_BUFFER_SIZE - 1, fmt, va);
  buf[MESSAGE_BUFFER_SIZE - 1] = '\0';
}

DefaultLogHandler defaultLogHandler;
DefaultErrorHandler defaultErrorHandler;

// Per thread, so that clients working on separate threads keep their own texts.
thread_local std::string* errorTextKeeper = nullptr;

}  // namespace

XmlRpcLogHandler* XmlRpcLogHandler::_logHandler = &defaultLogHandler;
int XmlRpcLogHandler::_verbosity = 0;

XmlRpcErrorHandler* XmlRpcErrorHandler::_errorHandler = &defaultErrorHandler;

void XmlRpcLogHandler::setLogHandler(XmlRpcLogHandler* handler) {
  _logHandler = handler ? handler : &defaultLogHandler;
}

void XmlRpcErrorHandler::setErrorHandler(XmlRpcErrorHandler* handler) {
  _errorHandler = handler ? handler : &defaultErrorHandler;
}

void setVerbosity(int level) {
  XmlRpcLogHandler::setVerbosity(level);
}
int getVerbosity() {
  return XmlRpcLogHandler::getVerbosity();
}

void XmlRpcUtil::log(int level, const char* fmt, ...) {
  if (level > XmlRpcLogHandler::getVerbosity()) return;
  char buf[MESSAGE_BUFFER_SIZE];
  va_list va;
  va_start(va, fmt);
  formatMessage(buf, fmt, va);
  va_end(va);
  XmlRpcLogHandler::getLogHandler()->log(level, buf);
}

void XmlRpcUtil::error(const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  verror(fmt, va);
  va_end(va);
}

void XmlRpcUtil::verror(const char* fmt, va_list va) {
  char buf[MESSAGE_BUFFER_SIZE];
  formatMessage(buf, fmt, va);
  if (errorTextKeeper != nullptr) *errorTextKeeper = buf;
  XmlRpcErrorHandler::getErrorHandler()->error(buf);
}

std::string* XmlRpcUtil::keepErrorText(std::string* text) {
  std::string* previous = errorTextKeeper;
  errorTextKeeper = text;
  return previous;
}

// ---- XML tag scanners and entity coders ----

namespace {

const char AMP = '&';
// Entry i of these three tables belongs together.
constexpr char rawEntity[] = "<>&'\"";
const char* const xmlEntity[] = {"lt;", "gt;", "amp;", "apos;", "quot;", nullptr};
const int xmlEntLen[] = {3, 3, 4, 5, 5};

constexpr std::array<const char*, 256> makeEntityTable() {
  const char* const entities[] = {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"};
  std::array<const char*, 256> table{};
  for (int i = 0; i < 5; ++i)
    table[static_cast<unsigned char>(rawEntity[i])] = entities[i];
  return table;
}

// A negative offset is refused like one past the end rather than read before the text.
bool outsideText(const std::string& xml, int offset) {
  return offset < 0 || static_cast<std::size_t>(offset) >= xml.length();
}

// isspace in the "C" locale, which the stack never changes.
inline bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Stops at a NUL, which ends the text for the scanners that step through it.
const char* skipSpace(const char* cp) {
  while (isSpace(*cp))
    ++cp;
  return cp;
}

// The table index of the entity text after the ampersand at `amp`, or -1.
int entityAfter(std::string_view text, std::size_t amp) {
  const std::size_t rest = text.length() - amp - 1;
  for (int i = 0; xmlEntity[i]; ++i) {
    const std::size_t len = static_cast<std::size_t>(xmlEntLen[i]);
    if (rest >= len && std::memcmp(text.data() + amp + 1, xmlEntity[i], len) == 0) return i;
  }
  return -1;
}

// Above this no reference is decoded; accumulating stops there, before any overflow.
constexpr unsigned long MAX_CODE_POINT = 0x10FFFF;

// Appends the UTF-8 bytes of the character reference ("&#N;" or "&#xH;") at the
// ampersand at `amp` and returns its length; 0, appending nothing, when it is kept
// as written. Out of line, so that the loop over the five entities stays as tight.
[[gnu::noinline]] std::size_t appendCharRef(std::string_view text, std::size_t amp,
                                            std::string& out) {
  const std::size_t length = text.length();
  std::size_t pos = amp + 2;
  if (pos > length || text[amp + 1] != '#') return 0;
  const bool hex = pos < length && text[pos] == 'x';
  if (hex) ++pos;
  const std::size_t digits = pos;
  unsigned long code = 0;
  for (; pos < length; ++pos) {
    const char c = text[pos];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
    } else {
      break;
    }
    code = code * (hex ? 16 : 10) + digit;
    if (code > MAX_CODE_POINT) return 0;
  }
  if (pos == digits || pos == length || text[pos] != ';') return 0;
  if (code == 0 || (code >= 0xD800 && code <= 0xDFFF)) return 0;

  if (code < 0x80) {
    out += static_cast<char>(code);
  } else {
    char bytes[4];
    const std::size_t count = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    // The lead byte marks the count with as many high one bits.
    bytes[0] = static_cast<char>(((0xFF00 >> count) & 0xFF) | (code >> (6 * (count - 1))));
    for (std::size_t i = 1; i < count; ++i)
      bytes[i] = static_cast<char>(0x80 | ((code >> (6 * (count - 1 - i))) & 0x3F));
    out.append(bytes, count);
  }
  return pos + 1 - amp;
}

}  // namespace

bool XmlRpcUtil::nextTagIs(const char* tag, const std::string& xml, int* offset) {
  if (outsideText(xml, *offset)) return false;
  const char* text = xml.c_str();
  const char* cp = skipSpace(text + *offset);
  if (*cp == '\0') return false;
  const std::size_t len = std::strlen(tag);
  // A shorter rest differs at the terminator at the latest.
  if (static_cast<std::size_t>(text + xml.length() - cp) < len) return false;
  if (std::memcmp(cp, tag, len) != 0) return false;
  *offset = static_cast<int>(cp - text + len);
  return true;
}

bool XmlRpcUtil::findTag(const char* tag, const std::string& xml, int* offset) {
  if (outsideText(xml, *offset)) return false;
  const std::size_t pos = xml.find(tag, static_cast<std::size_t>(*offset));
  if (pos == std::string::npos) return false;
  *offset = static_cast<int>(pos + std::strlen(tag));
  return true;
}

std::string_view XmlRpcUtil::parseTagView(const char* tag, const std::string& xml, int* offset) {
  if (outsideText(xml, *offset) || *tag == '\0') return std::string_view();
  const std::size_t open = xml.find(tag, static_cast<std::size_t>(*offset));
  if (open == std::string::npos) return std::string_view();
  const std::size_t content = open + std::strlen(tag);
  std::string etag("</");
  etag += tag + 1;
  const std::size_t close = xml.find(etag, content);
  if (close == std::string::npos) return std::string_view();
  *offset = static_cast<int>(close + etag.length());
  return std::string_view(xml).substr(content, close - content);
}

std::string XmlRpcUtil::parseTag(const char* tag, const std::string& xml, int* offset) {
  return std::string(parseTagView(tag, xml, offset));
}

std::string_view XmlRpcUtil::getNextTagView(const std::string& xml, int* offset) {
  if (outsideText(xml, *offset)) return std::string_view();
  const char* text = xml.c_str();
  const char* cp = skipSpace(text + *offset);
  if (*cp != '<') return std::string_view();
  const char* gt = std::strchr(cp, '>');
  const char* end = gt ? gt + 1 : cp + std::strlen(cp);
  *offset = static_cast<int>(end - text);
  return std::string_view(cp, static_cast<std::size_t>(end - cp));
}

std::string XmlRpcUtil::getNextTag(const std::string& xml, int* offset) {
  return std::string(getNextTagView(xml, offset));
}

const std::array<const char*, 256> XmlRpcUtil::ENTITY_OF = makeEntityTable();

void XmlRpcUtil::xmlEncode(std::string_view raw, std::string& out) {
  const char* p = raw.data();
  const char* const end = p + raw.length();
  while (p != end) {
    const char* run = p;
    while (p != end && ENTITY_OF[static_cast<unsigned char>(*p)] == nullptr)
      ++p;
    out.append(run, static_cast<std::size_t>(p - run));
    if (p == end) break;
    out += ENTITY_OF[static_cast<unsigned char>(*p)];
    ++p;
  }
}

std::string XmlRpcUtil::xmlEncode(const std::string& raw) {
  if (raw.find_first_of(rawEntity) == std::string::npos) return raw;
  std::string encoded;
  encoded.reserve(raw.length() + raw.length() / 8 + 8);
  xmlEncode(std::string_view(raw), encoded);
  return encoded;
}

void XmlRpcUtil::xmlDecode(std::string_view encoded, std::string& out) {
  std::size_t pos = encoded.find(AMP);
  if (pos == std::string_view::npos) {
    out.append(encoded.data(), encoded.length());
    return;
  }
  // The result is never longer than its input.
  out.reserve(out.length() + encoded.length());
  out.append(encoded.data(), pos);
  const std::size_t length = encoded.length();
  while (pos < length) {
    const int entity = entityAfter(encoded, pos);
    if (entity >= 0) {
      out += rawEntity[entity];
      pos += 1 + static_cast<std::size_t>(xmlEntLen[entity]);
    } else {
      const std::size_t reference = appendCharRef(encoded, pos, out);
      if (reference == 0) out += AMP;
      pos += reference == 0 ? 1 : reference;
    }
    const std::size_t next = encoded.find(AMP, pos);
    const std::size_t stop = next == std::string_view::npos ? length : next;
    out.append(encoded.data() + pos, stop - pos);
    pos = stop;
  }
}

std::string XmlRpcUtil::xmlDecode(const std::string& encoded) {
  if (encoded.find(AMP) == std::string::npos) return encoded;
  std::string decoded;
  xmlDecode(std::string_view(encoded), decoded);
  return decoded;
}

}  // namespace XmlRpc
