// Logging and error reporting, and the XML tag scanners and entity coders.
#include "XmlRpcUtil.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace XmlRpc {

const char XMLRPC_VERSION[] = "CORVANE 0.7";

namespace {

// Formatted messages are cut to fit this buffer, the last byte kept for the NUL.
constexpr int MESSAGE_BUFFER_SIZE = 1024;

class DefaultLogHandler : public XmlRpcLogHandler {
 public:
  void log(int level, const char* msg) override {
    if (level <= _verbosity) std::cout << msg << std::endl;
  }
};

class DefaultErrorHandler : public XmlRpcErrorHandler {
 public:
  void error(const char* msg) override { std::cerr << msg << std::endl; }
};

void formatMessage(char (&buf)[MESSAGE_BUFFER_SIZE], const char* fmt, va_list va) {
  std::vsnprintf(buf, MESSAGE_BUFFER_SIZE - 1, fmt, va);
  buf[MESSAGE_BUFFER_SIZE - 1] = '\0';
}

DefaultLogHandler defaultLogHandler;
DefaultErrorHandler defaultErrorHandler;

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
  char buf[MESSAGE_BUFFER_SIZE];
  va_list va;
  va_start(va, fmt);
  formatMessage(buf, fmt, va);
  va_end(va);
  XmlRpcErrorHandler::getErrorHandler()->error(buf);
}

// ---- XML tag scanners and entity coders ----

namespace {

const char AMP = '&';
// Entry i of these three tables belongs together.
const char rawEntity[] = "<>&'\"";
const char* const xmlEntity[] = {"lt;", "gt;", "amp;", "apos;", "quot;", nullptr};
const int xmlEntLen[] = {3, 3, 4, 5, 5};

// A negative offset is refused like one past the end rather than read before the text.
bool outsideText(const std::string& xml, int offset) {
  return offset < 0 || static_cast<std::size_t>(offset) >= xml.length();
}

// Stops at a NUL, which ends the text for the scanners that step through it.
const char* skipSpace(const char* cp) {
  while (*cp != '\0' && std::isspace(static_cast<unsigned char>(*cp)))
    ++cp;
  return cp;
}

// The table index of the entity text after the ampersand at `amp`, or -1.
int entityAfter(const std::string& text, std::size_t amp) {
  for (int i = 0; xmlEntity[i]; ++i) {
    if (text.compare(amp + 1, xmlEntLen[i], xmlEntity[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool XmlRpcUtil::nextTagIs(const char* tag, const std::string& xml, int* offset) {
  if (outsideText(xml, *offset)) return false;
  const char* text = xml.c_str();
  const char* cp = skipSpace(text + *offset);
  if (*cp == '\0') return false;
  const std::size_t len = std::strlen(tag);
  if (std::strncmp(cp, tag, len) != 0) return false;
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

std::string XmlRpcUtil::parseTag(const char* tag, const std::string& xml, int* offset) {
  if (outsideText(xml, *offset) || *tag == '\0') return std::string();
  const std::size_t open = xml.find(tag, static_cast<std::size_t>(*offset));
  if (open == std::string::npos) return std::string();
  const std::size_t content = open + std::strlen(tag);
  std::string etag("</");
  etag += tag + 1;
  const std::size_t close = xml.find(etag, content);
  if (close == std::string::npos) return std::string();
  *offset = static_cast<int>(close + etag.length());
  return xml.substr(content, close - content);
}

std::string XmlRpcUtil::getNextTag(const std::string& xml, int* offset) {
  if (outsideText(xml, *offset)) return std::string();
  const char* text = xml.c_str();
  const char* cp = skipSpace(text + *offset);
  if (*cp != '<') return std::string();
  const char* gt = std::strchr(cp, '>');
  const char* end = gt ? gt + 1 : cp + std::strlen(cp);
  *offset = static_cast<int>(end - text);
  return std::string(cp, end);
}

std::string XmlRpcUtil::xmlEncode(const std::string& raw) {
  std::size_t pos = raw.find_first_of(rawEntity);
  if (pos == std::string::npos) return raw;
  std::string encoded;
  encoded.reserve(raw.length() + raw.length() / 8 + 8);
  encoded.append(raw, 0, pos);
  for (; pos < raw.length(); ++pos) {
    const char c = raw[pos];
    // strchr would match the terminator for a NUL byte.
    const char* hit = c != '\0' ? std::strchr(rawEntity, c) : nullptr;
    if (hit) {
      encoded += AMP;
      encoded += xmlEntity[hit - rawEntity];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

std::string XmlRpcUtil::xmlDecode(const std::string& encoded) {
  std::size_t pos = encoded.find(AMP);
  if (pos == std::string::npos) return encoded;
  std::string decoded;
  decoded.reserve(encoded.length());
  decoded.append(encoded, 0, pos);
  const std::size_t length = encoded.length();
  while (pos < length) {
    const int entity = entityAfter(encoded, pos);
    if (entity >= 0) {
      decoded += rawEntity[entity];
      pos += 1 + xmlEntLen[entity];
    } else {
      decoded += AMP;
      ++pos;
    }
    const std::size_t next = encoded.find(AMP, pos);
    const std::size_t stop = next == std::string::npos ? length : next;
    decoded.append(encoded, pos, stop - pos);
    pos = stop;
  }
  return decoded;
}

}  // namespace XmlRpc
