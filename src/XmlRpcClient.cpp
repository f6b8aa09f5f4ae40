// The call engine of the client and the framing of requests and responses.
#include "XmlRpcClient.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "XmlRpcSocket.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"

namespace XmlRpc {

const char XmlRpcClient::REQUEST_BEGIN[] = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>";
const char XmlRpcClient::REQUEST_END_METHODNAME[] = "</methodName>\r\n";
const char XmlRpcClient::PARAMS_TAG[] = "<params>";
const char XmlRpcClient::PARAMS_ETAG[] = "</params>";
const char XmlRpcClient::PARAM_TAG[] = "<param>";
const char XmlRpcClient::PARAM_ETAG[] = "</param>";
const char XmlRpcClient::REQUEST_END[] = "</methodCall>\r\n";
const char XmlRpcClient::METHODRESPONSE_TAG[] = "<methodResponse>";
const char XmlRpcClient::FAULT_TAG[] = "<fault>";

namespace {

const char DEFAULT_URI[] = "/RPC2";

const char CONTENT_LENGTH_FIELD[] = "Content-length:";
constexpr size_t CONTENT_LENGTH_FIELD_SIZE = sizeof(CONTENT_LENGTH_FIELD) - 1;
const char TRANSFER_ENCODING_FIELD[] = "Transfer-Encoding:";
constexpr size_t TRANSFER_ENCODING_FIELD_SIZE = sizeof(TRANSFER_ENCODING_FIELD) - 1;
constexpr size_t LONGEST_FIELD_SIZE = TRANSFER_ENCODING_FIELD_SIZE;
const char CHUNKED[] = "chunked";
constexpr size_t CHUNKED_SIZE = sizeof(CHUNKED) - 1;
const char CONNECTION_FIELD[] = "Connection:";
constexpr size_t CONNECTION_FIELD_SIZE = sizeof(CONNECTION_FIELD) - 1;

// An error line shows at most 1,022 characters: a longer status line, or more
// of a response, is not escaped only to be cut.
constexpr size_t SHOWN_TEXT_LIMIT = 1024;

// A response header may be this long; the bytes of a longer one are never read.
constexpr std::size_t HEADER_LIMIT = 64 * 1024;
constexpr std::size_t DEFAULT_RESPONSE_LIMIT = 64 * 1024 * 1024;

// Room for a colon or the blank line around any int.
constexpr int NUMBER_TEXT_SIZE = 32;

// A call's buffers up to this size are kept for the next call; a larger one,
// grown by a large request or response, is freed when its call ends, so that
// an idle client holds little.
constexpr std::size_t RETAINED_BUFFER_LIMIT = 64 * 1024;

// Runs `action` on every way out of the scope, an exception included.
template <typename Action>
class AtScopeExit {
 public:
  explicit AtScopeExit(Action action) : _action(action) {}
  ~AtScopeExit() { _action(); }
  AtScopeExit(const AtScopeExit&) = delete;
  AtScopeExit& operator=(const AtScopeExit&) = delete;

 private:
  Action _action;
};

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length announced at `p`, read as strtoll reads it, except that it never
// looks past the field's own line; 0 without digits. False when the number is
// beyond what a long long holds.
bool readLength(const char* p, long long* length) {
  while (isBlank(*p))
    ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  unsigned long long n = 0;
  bool beyond = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    beyond = beyond || n > (ULLONG_MAX - digit) / 10;
    n = n * 10 + digit;
  }
  beyond = beyond || n > static_cast<unsigned long long>(LLONG_MAX);
  *length = negative ? -static_cast<long long>(beyond ? 0 : n) : static_cast<long long>(n);
  return !beyond;
}

// The field value from `pos` to the end of its line, without SP/HT around it.
std::string fieldValue(const std::string& header, size_t pos) {
  size_t end = pos;
  while (end < header.length() && header[end] != '\r' && header[end] != '\n')
    ++end;
  while (pos < end && isBlank(header[pos]))
    ++pos;
  while (end > pos && isBlank(header[end - 1]))
    --end;
  return header.substr(pos, end - pos);
}

// Whether the comma-separated list `value` holds `token`, in any letter case.
bool listHolds(const std::string& value, const char* token) {
  const size_t tokenSize = std::strlen(token);
  for (size_t start = 0; start <= value.length();) {
    size_t end = std::min(value.find(',', start), value.length());
    const size_t next = end + 1;
    while (start < end && isBlank(value[start]))
      ++start;
    while (end > start && isBlank(value[end - 1]))
      --end;
    if (end - start == tokenSize && strncasecmp(value.c_str() + start, token, tokenSize) == 0)
      return true;
    start = next;
  }
  return false;
}

// Whether the server closes the connection after this response: it says
// "Connection: close", or speaks HTTP/1.0 and does not say "keep-alive".
bool closesAfterResponse(const std::string& header, size_t bodyStart) {
  bool closes = header.compare(0, 8, "HTTP/1.0") == 0;
  for (size_t field = header.find('\n') + 1; field > 0 && field < bodyStart;
       field = header.find('\n', field) + 1) {
    if (strncasecmp(header.c_str() + field, CONNECTION_FIELD, CONNECTION_FIELD_SIZE) != 0) continue;
    const std::string value = fieldValue(header, field + CONNECTION_FIELD_SIZE);
    if (listHolds(value, "close")) return true;
    if (listHolds(value, "keep-alive")) closes = false;
  }
  return closes;
}

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are none.
size_t utf8Length(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  // The second byte's range excludes overlong forms, surrogates and code points beyond U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || at + length > text.length()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// `text` as one line that a peer cannot turn into lines of its own: control
// characters (C1 ones included) and bytes that are not UTF-8 become escapes.
std::string escapedForLog(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.length() && out.length() < SHOWN_TEXT_LIMIT;) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t sequence = c < 0x80 ? 1 : utf8Length(text, at);
    const bool control =
        c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (sequence == 0 || control) {
      // A C1 control is two bytes, each shown.
      for (size_t i = 0; i < std::max<size_t>(sequence, 1); ++i) {
        char hex[5];
        std::snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned char>(text[at + i]));
        out += hex;
      }
    } else {
      out.append(text, at, sequence);
    }
    at += std::max<size_t>(sequence, 1);
  }
  return out;
}

}  // namespace

XmlRpcClient::XmlRpcClient(const char* host, int port, const char* uri)
    : XmlRpcSource(-1, false),
      _connectionState(NO_CONNECTION),
      _host(host ? host : ""),
      _uri(uri ? uri : DEFAULT_URI),
      _port(port),
      _https(false),
      _sendAttempts(0),
      _bytesWritten(0),
      _requestLogged(false),
      _executing(false),
      _eof(false),
      _isFault(false),
      _contentLength(0),
      _framing(BODY_BY_LENGTH),
      _keptConnection(false),
      _closeAfterResponse(false),
      _nextAddress(0),
      _headerScanPos(0),
      _lengthValuePos(std::string::npos),
      _codingValuePos(std::string::npos),
      _codingFields(0),
      _chunkStep(CHUNK_SIZE),
      _decodedSize(0),
      _chunkLeft(0),
      _lineScanned(0),
      _responseLimit(DEFAULT_RESPONSE_LIMIT),
      _bodyWireBytes(0),
      _framedSize(0) {
  XmlRpcUtil::log(1, "XmlRpcClient new client: host %s, port %d.", _host.c_str(), port);
  setKeepOpen(true);
}

// The connection, its only owner, closes itself.
XmlRpcClient::~XmlRpcClient() = default;

bool XmlRpcClient::execute(const char* method, const XmlRpcValue& params, XmlRpcValue& result) {
  return execute(method, params, result, -1.0);
}

bool XmlRpcClient::execute(const std::string& method, const XmlRpcValue& params,
                           XmlRpcValue& result) {
  return execute(method.c_str(), params, result, -1.0);
}

bool XmlRpcClient::execute(const std::string& method, const XmlRpcValue& params,
                           XmlRpcValue& result, double timeoutSeconds) {
  return execute(method.c_str(), params, result, timeoutSeconds);
}

bool XmlRpcClient::execute(const char* method, const XmlRpcValue& params, XmlRpcValue& result,
                           double timeoutSeconds) {
  XmlRpcUtil::log(1, "XmlRpcClient::execute: method %s (_connectionState %d).", method,
                  _connectionState);
  if (_executing) return false;
  _executing = true;
  AtScopeExit clearExecuting([this] { _executing = false; });

  // The call's last error line is its message, whichever part of the stack reports it.
  _lastError = Error();
  std::string* const outerKeeper = XmlRpcUtil::keepErrorText(&_lastError.message);
  AtScopeExit restoreKeeper([outerKeeper] { XmlRpcUtil::keepErrorText(outerKeeper); });
  AtScopeExit releaseBuffers([this] { releaseLargeBuffers(); });

  _sendAttempts = 0;
  _isFault = false;

  if (!setupConnection()) return false;
  if (!generateRequest(method, params)) return false;

  result.clear();
  if (!_disp.workFor(timeoutSeconds)) {
    reportError(ErrorKind::TIMEOUT,
                "Error in XmlRpcClient::execute: no response within the time limit (%g s).",
                timeoutSeconds);
    // A reply that comes later must not be read as the answer to the next call.
    close();
    return false;
  }

  if (_connectionState != IDLE) {
    // Each step reports its own failure; only the dispatcher ends a run
    // without one, and its error line is then the call's.
    if (_lastError.kind == ErrorKind::NONE) _lastError.kind = failureKindOfState();
    return false;
  }
  if (!parseResponse(result)) return false;

  XmlRpcUtil::log(1, "XmlRpcClient::execute: method %s completed.", method);
  _response.clear();
  return true;
}

void XmlRpcClient::close() {
  XmlRpcUtil::log(4, "XmlRpcClient::close: fd %d.", getfd());
  _connectionState = NO_CONNECTION;
  _disp.exit();
  _disp.removeSource(this);
  dropConnection();
}

void XmlRpcClient::dropConnection() {
  _connection.close();
  setfd(-1);
}

unsigned XmlRpcClient::handleEvent(unsigned eventType) {
  if (eventType == XmlRpcDispatch::EventException) {
    if (_connectionState == WRITE_REQUEST && _bytesWritten == 0)
      reportError(ErrorKind::CONNECT,
                  "Error in XmlRpcClient::handleEvent: could not connect to server (%s).",
                  XmlRpcSocket::getErrorMsg().c_str());
    else
      reportError(failureKindOfState(), "Error in XmlRpcClient::handleEvent (state %d): %s.",
                  _connectionState, XmlRpcSocket::getErrorMsg().c_str());
    return 0;
  }

  // One event may carry the call through several states: the last bytes of
  // the request, then a header read that brings the whole body.
  if (_connectionState == WRITE_REQUEST && !writeRequest()) return 0;
  if (_connectionState == READ_HEADER && !readHeader()) return 0;
  if (_connectionState == READ_RESPONSE && !readResponse()) return 0;

  // TLS may have to read before it can write, or the other way round.
  return _connection.events((_connectionState == WRITE_REQUEST) ? XmlRpcDispatch::EventWritable
                                                                : XmlRpcDispatch::EventReadable);
}

bool XmlRpcClient::setupConnection() {
  // A kept connection carries this call only if nothing came on it after the
  // last response: no end, no reset, no bytes nobody asked for.
  bool kept = _connectionState == IDLE && !_eof && getfd() != -1;
  if (kept && !_connection.idle()) {
    XmlRpcUtil::log(4,
                    "XmlRpcClient::setupConnection: the kept connection has ended or holds "
                    "bytes nobody asked for.");
    kept = false;
  }
  if ((_connectionState != NO_CONNECTION && !kept) || _eof) close();
  _eof = false;
  _keptConnection = kept;
  if (!kept && !doConnect()) return false;

  _connectionState = WRITE_REQUEST;
  _bytesWritten = 0;
  _requestLogged = false;
  watchForWriting();
  return true;
}

void XmlRpcClient::watchForWriting() {
  _disp.removeSource(this);
  _disp.addSource(this, XmlRpcDispatch::EventWritable | XmlRpcDispatch::EventException);
}

bool XmlRpcClient::doConnect() {
  if (!_socketPath.empty()) {
    _addresses.resize(1);
    XmlRpcSocket::unixAddress(_socketPath, _addresses[0]);
  } else if (!XmlRpcSocket::resolve(_host, _port, _addresses)) {
    reportError(ErrorKind::CONNECT,
                "Error in XmlRpcClient::doConnect: Could not connect to server (%s).",
                XmlRpcSocket::getErrorMsg().c_str());
    return false;
  }
  _nextAddress = 0;
  return connectNextAddress();
}

bool XmlRpcClient::connectNextAddress() {
  static const char* const failures[] = {"", "Could not create socket",
                                         "Could not set socket to non-blocking IO mode",
                                         "Could not connect to server"};
  while (_nextAddress < _addresses.size()) {
    const XmlRpcConnection::ConnectResult result = _connection.connect(_addresses[_nextAddress++]);
    setfd(_connection.fd());
    if (result == XmlRpcConnection::CONNECTING) {
      XmlRpcUtil::log(3, "XmlRpcClient::doConnect: fd %d.", getfd());
      return true;
    }
    if (_nextAddress < _addresses.size()) continue;
    close();
    reportError(ErrorKind::CONNECT, "Error in XmlRpcClient::doConnect: %s (%s).", failures[result],
                XmlRpcSocket::getErrorMsg(_connection.error()).c_str());
    return false;
  }
  return false;
}

bool XmlRpcClient::retryWithNextAddress() {
  XmlRpcUtil::log(4, "XmlRpcClient::writeRequest: trying the host's next address");
  dropConnection();
  if (!connectNextAddress()) return false;
  watchForWriting();
  return true;
}

bool XmlRpcClient::generateRequest(const char* methodName, const XmlRpcValue& params) {
  // Every parameter is written straight into the one body buffer.
  std::string body;
  body.reserve(1024);
  body += REQUEST_BEGIN;
  body += methodName;
  body += REQUEST_END_METHODNAME;

  if (params.valid()) {
    body += PARAMS_TAG;
    if (params.getType() == XmlRpcValue::TypeArray) {
      for (int i = 0; i < params.size(); ++i) {
        body += PARAM_TAG;
        params[i].toXml(body);
        body += PARAM_ETAG;
      }
    } else {
      body += PARAM_TAG;
      params.toXml(body);
      body += PARAM_ETAG;
    }
    body += PARAMS_ETAG;
  }
  body += REQUEST_END;

  std::string header = generateHeader(body);
  XmlRpcUtil::log(4, "XmlRpcClient::generateRequest: header is %d bytes, content-length is %d.",
                  static_cast<int>(header.length()), static_cast<int>(body.length()));

  // The header goes in front of the body in the body's own buffer, which
  // usually has room to spare.
  body.insert(0, header);
  _request.swap(body);
  return true;
}

std::string XmlRpcClient::generateHeader(const std::string& body) {
  std::string header = "POST " + _uri + " HTTP/1.1\r\nUser-Agent: ";
  header += XMLRPC_VERSION;
  header += "\r\nHost: ";
  // An IPv6 address goes in brackets, so that its colons are not taken for the port's.
  const bool bareIpv6 = _host.find(':') != std::string::npos && _host.front() != '[';
  if (bareIpv6) header += '[';
  header += _host;
  if (bareIpv6) header += ']';

  char number[NUMBER_TEXT_SIZE];
  std::snprintf(number, sizeof(number), ":%d\r\n", _port);
  header += _socketPath.empty() ? number : "\r\n";
  if (!_authorization.empty()) header += "Authorization: " + _authorization + "\r\n";

  header += "Content-Type: text/xml\r\nContent-length: ";
  std::snprintf(number, sizeof(number), "%d\r\n\r\n", static_cast<int>(body.length()));
  header += number;
  return header;
}

bool XmlRpcClient::writeRequest() {
  // A TLS handshake may take several events before the first byte is written.
  if (_bytesWritten == 0 && !_requestLogged && getVerbosity() >= 5)
    XmlRpcUtil::log(5, "XmlRpcClient::writeRequest (attempt %d):\n%s\n", _sendAttempts + 1,
                    requestForLog().c_str());
  _requestLogged = true;

  if (!_connection.write(_request, &_bytesWritten)) {
    if (reportTlsError("writeRequest")) return false;
    // A kept connection that the server reset while it was idle fails the
    // first write: the server never saw this call, so it is sent again.
    const int error = _connection.error();
    if ((error == ECONNRESET || error == EPIPE) && _keptConnection && _sendAttempts++ == 0)
      return resendOnFreshConnection("writeRequest");
    // A connect that fails shows at the first write on the new connection.
    const bool notConnected =
        !_keptConnection && _bytesWritten == 0 && XmlRpcSocket::isConnectFailure(error);
    if (notConnected && _nextAddress < _addresses.size()) return retryWithNextAddress();
    reportError(notConnected ? ErrorKind::CONNECT : ErrorKind::WRITE,
                "Error in XmlRpcClient::writeRequest: write error (%s).",
                XmlRpcSocket::getErrorMsg(error).c_str());
    return false;
  }

  XmlRpcUtil::log(3, "XmlRpcClient::writeRequest: wrote %d of %d bytes.", _bytesWritten,
                  static_cast<int>(_request.length()));

  if (_bytesWritten == static_cast<int>(_request.length())) {
    _header.clear();
    _response.clear();
    _connectionState = READ_HEADER;
  }
  return true;
}

bool XmlRpcClient::readHeader() {
  // A new header starts with an empty buffer, also after a replaced writeRequest().
  if (_header.empty()) {
    _headerScanPos = 0;
    _lengthValuePos = std::string::npos;
    _codingValuePos = std::string::npos;
    _codingFields = 0;
  }
  // One byte beyond the limit shows that the header passes it.
  bool readOk =
      _connection.read(_header, &_eof, HEADER_LIMIT + 1 - std::min(_header.size(), HEADER_LIMIT));
  if (!readOk && reportTlsError("readHeader")) return false;
  // A server may reset the connection right after answering: once bytes of
  // the answer are in, an error ends them as the end of file does.
  if (!readOk && !_header.empty()) readOk = _eof = true;
  if (!readOk || (_eof && _header.empty())) {
    // A kept connection that the server has dropped fails at its first read:
    // the call is sent again, once, on a fresh connection.
    if (getKeepOpen() && _header.empty() && _sendAttempts++ == 0)
      return resendOnFreshConnection("readHeader");
    reportError(ErrorKind::READ,
                "Error in XmlRpcClient::readHeader: error while reading header (%s) on fd %d.",
                XmlRpcSocket::getErrorMsg().c_str(), getfd());
    return false;
  }

  XmlRpcUtil::log(4, "XmlRpcClient::readHeader: client has read %d bytes",
                  static_cast<int>(_header.length()));

  switch (parseHeader()) {
    case HEADER_INCOMPLETE:
      // The reads stop one byte beyond the limit, so a header that ends within it is complete.
      if (_header.size() > HEADER_LIMIT) {
        reportError(ErrorKind::HTTP,
                    "Error in XmlRpcClient::readHeader: response header beyond the header limit "
                    "(%zu bytes).",
                    HEADER_LIMIT);
        close();
        return false;
      }
      if (_eof) {
        reportError(ErrorKind::READ, "Error in XmlRpcClient::readHeader: EOF while reading header");
        return false;
      }
      return true;
    case HEADER_INVALID:
      return false;
    case HEADER_COMPLETE:
      break;
  }
  _connectionState = READ_RESPONSE;
  return true;
}

bool XmlRpcClient::resendOnFreshConnection(const char* step) {
  XmlRpcUtil::log(4, "XmlRpcClient::%s: re-trying connection", step);
  dropConnection();
  _connectionState = NO_CONNECTION;
  _eof = false;
  return setupConnection();
}

XmlRpcClient::HeaderStatus XmlRpcClient::parseHeader() {
  // The tests at a position depend on how many bytes follow it, so a position
  // is settled only once more than the longest field name follows; the scan
  // resumes at the first unsettled position when more bytes arrive.
  const char* hp = _header.data();
  const size_t length = _header.length();
  size_t bodyStart = std::string::npos;
  size_t pos = _headerScanPos;
  for (; pos < length; ++pos) {
    // Every test starts with one of these bytes; the rest are passed over.
    const char c = hp[pos];
    if (c != 'C' && c != 'c' && c != 'T' && c != 't' && c != '\r' && c != '\n') continue;
    const size_t rest = length - pos;
    if (c == 'C' || c == 'c') {
      if (rest > CONTENT_LENGTH_FIELD_SIZE &&
          strncasecmp(hp + pos, CONTENT_LENGTH_FIELD, CONTENT_LENGTH_FIELD_SIZE) == 0)
        _lengthValuePos = pos + CONTENT_LENGTH_FIELD_SIZE;
    } else if (c == 'T' || c == 't') {
      // Only settled positions match, so that no field is counted twice.
      if (rest > LONGEST_FIELD_SIZE && pos > 0 && hp[pos - 1] == '\n' &&
          strncasecmp(hp + pos, TRANSFER_ENCODING_FIELD, TRANSFER_ENCODING_FIELD_SIZE) == 0) {
        if (_codingFields == 0) _codingValuePos = pos + TRANSFER_ENCODING_FIELD_SIZE;
        ++_codingFields;
      }
    } else if (rest > 4 && std::memcmp(hp + pos, "\r\n\r\n", 4) == 0) {
      bodyStart = pos + 4;
      break;
    } else if (rest > 2 && std::memcmp(hp + pos, "\n\n", 2) == 0) {
      bodyStart = pos + 2;
      break;
    }
  }
  // Every position passed over with more than a field name after it is settled.
  const size_t settledEnd = length > LONGEST_FIELD_SIZE ? length - LONGEST_FIELD_SIZE : 0;
  _headerScanPos = std::max(_headerScanPos, std::min(pos, settledEnd));
  if (bodyStart == std::string::npos) return HEADER_INCOMPLETE;

  _statusLine = fieldValue(_header.substr(0, SHOWN_TEXT_LIMIT), 0);
  _contentLength = 0;
  if (_codingFields > 0) {
    // Several fields list several codings, of which the client decodes none but chunked.
    const std::string coding = fieldValue(_header, _codingValuePos);
    if (_codingFields > 1 || coding.length() != CHUNKED_SIZE ||
        strncasecmp(coding.c_str(), CHUNKED, CHUNKED_SIZE) != 0) {
      reportError(ErrorKind::HTTP,
                  "Error in XmlRpcClient::readHeader: unsupported Transfer-Encoding (%.60s%s).",
                  escapedForLog(coding).c_str(), _codingFields > 1 ? ", ..." : "");
      return HEADER_INVALID;
    }
    _framing = BODY_CHUNKED;
    XmlRpcUtil::log(4, "client reads a chunked body");
  } else if (_lengthValuePos != std::string::npos) {
    const bool in64Bits = readLength(_header.c_str() + _lengthValuePos, &_contentLength);
    // An error status may come without a body; parseResponse() reports it.
    if (in64Bits && (_contentLength < 0 || (_contentLength == 0 && statusIs2xx()))) {
      reportError(ErrorKind::HTTP,
                  "Error in XmlRpcClient::readHeader: Invalid Content-length specified (%lld).",
                  _contentLength);
      return HEADER_INVALID;
    }
    // Such a body is refused before any of it is read.
    if (!in64Bits || overLimit(static_cast<unsigned long long>(_contentLength))) {
      if (in64Bits)
        reportError(ErrorKind::HTTP,
                    "Error in XmlRpcClient::readHeader: Content-length (%lld) beyond the response "
                    "limit (%zu bytes).",
                    _contentLength, _responseLimit);
      else
        reportError(ErrorKind::HTTP,
                    "Error in XmlRpcClient::readHeader: Content-length beyond the 64-bit limit.");
      close();
      return HEADER_INVALID;
    }
    _framing = BODY_BY_LENGTH;
    XmlRpcUtil::log(4, "client read content length: %lld", _contentLength);
  } else {
    _framing = BODY_UNTIL_CLOSE;
    XmlRpcUtil::log(4, "client reads the body until the server closes the connection");
  }

  _closeAfterResponse = closesAfterResponse(_header, bodyStart);
  _response = _header.substr(bodyStart);
  _header.clear();
  _chunkStep = CHUNK_SIZE;
  _decodedSize = 0;
  _chunkLeft = 0;
  _lineScanned = 0;
  _bodyWireBytes = 0;
  _framedSize = 0;
  return HEADER_COMPLETE;
}

XmlRpcClient::BodyStatus XmlRpcClient::parseBody() {
  _bodyWireBytes += _response.length() - _framedSize;
  _framedSize = _response.length();
  if (_framing == BODY_BY_LENGTH) {
    // The length is within the limit: only bytes after the body could pass it.
    const size_t length = static_cast<size_t>(_contentLength);
    if (_response.length() < length) return BODY_INCOMPLETE;
    // Bytes beyond the length belong to no response.
    if (_response.length() > length) {
      _response.resize(length);
      _closeAfterResponse = true;
    }
    return BODY_COMPLETE;
  }
  if (_framing == BODY_UNTIL_CLOSE) {
    if (overLimit(_bodyWireBytes)) return bodyOverLimit();
    if (!_eof) return BODY_INCOMPLETE;
    if (!_connection.truncated()) return BODY_COMPLETE;
    // Anyone on the way can end a TCP connection; only TLS's own end is the server's.
    reportError(ErrorKind::READ,
                "Error in XmlRpcClient::readResponse: the connection ended without TLS "
                "close_notify before the end of a body that only its end delimits");
    return BODY_INVALID;
  }
  if (_chunkStep == CHUNK_FAILED) return BODY_INVALID;

  // The decoded bytes are moved down over the framing before them, so that
  // each byte is handled a bounded number of times however the chunks are cut.
  char* buf = &_response[0];
  const size_t length = _response.length();
  size_t in = _decodedSize;
  size_t out = _decodedSize;
  while (_chunkStep != CHUNK_DONE) {
    if (_chunkStep == CHUNK_DATA) {
      const size_t n = std::min(_chunkLeft, length - in);
      if (out != in) std::memmove(buf + out, buf + in, n);
      in += n;
      out += n;
      _chunkLeft -= n;
      if (_chunkLeft > 0) break;
      _chunkStep = CHUNK_DATA_END;
    } else if (_chunkStep == CHUNK_DATA_END) {
      if (in == length || (buf[in] == '\r' && in + 1 == length)) break;
      if (buf[in] == '\n')
        in += 1;
      else if (buf[in] == '\r' && buf[in + 1] == '\n')
        in += 2;
      else
        return chunkError("no line end after chunk data");
      _chunkStep = CHUNK_SIZE;
    } else {
      // A chunk-size or trailer line is read once its end is in.
      const char* line = buf + in;
      const void* found = std::memchr(line + _lineScanned, '\n', length - in - _lineScanned);
      if (found == nullptr) {
        _lineScanned = length - in;
        break;
      }
      const char* newline = static_cast<const char*>(found);
      const char* end = newline > line && newline[-1] == '\r' ? newline - 1 : newline;
      in = static_cast<size_t>(newline - buf) + 1;
      _lineScanned = 0;
      if (_chunkStep == CHUNK_TRAILER) {
        if (end == line) _chunkStep = CHUNK_DONE;
        continue;
      }
      if (const char* reason = readChunkSize(line, end)) return chunkError(reason);
      if (out + _chunkLeft > static_cast<size_t>(INT_MAX))
        return chunkError("chunk size too large");
      _chunkStep = _chunkLeft == 0 ? CHUNK_TRAILER : CHUNK_DATA;
    }
  }
  _decodedSize = out;
  if (_chunkStep == CHUNK_DONE) {
    // Bytes after the last chunk's trailer belong to no response, nor count against its limit.
    if (overLimit(_bodyWireBytes - (length - in))) return bodyOverLimit();
    if (in < length) _closeAfterResponse = true;
    _response.resize(out);
    return BODY_COMPLETE;
  }
  if (overLimit(_bodyWireBytes)) return bodyOverLimit();
  _response.erase(out, in - out);
  _framedSize = _response.length();
  return BODY_INCOMPLETE;
}

const char* XmlRpcClient::readChunkSize(const char* line, const char* end) {
  const char* p = line;
  size_t size = 0;
  for (int digit; p < end && (digit = hexDigit(*p)) >= 0; ++p) {
    size = size * 16 + static_cast<size_t>(digit);
    if (size > static_cast<size_t>(INT_MAX)) return "chunk size too large";
  }
  const bool noDigits = p == line;
  while (p < end && isBlank(*p))
    ++p;
  // Chunk extensions follow a semicolon; the client uses none of them.
  if (noDigits || (p < end && *p != ';')) return "bad chunk size";
  _chunkLeft = size;
  return nullptr;
}

XmlRpcClient::BodyStatus XmlRpcClient::bodyOverLimit() {
  reportError(ErrorKind::HTTP,
              "Error in XmlRpcClient::readResponse: response body beyond the response limit (%zu "
              "bytes).",
              _responseLimit);
  close();
  return BODY_INVALID;
}

XmlRpcClient::BodyStatus XmlRpcClient::chunkError(const char* reason) {
  reportError(ErrorKind::HTTP, "Error in XmlRpcClient::readResponse: malformed chunked body (%s).",
              reason);
  _chunkStep = CHUNK_FAILED;
  return BODY_INVALID;
}

bool XmlRpcClient::readResponse() {
  BodyStatus status = parseBody();
  if (status == BODY_INCOMPLETE) {
    // The header is in, so a read error ends the body as the end of file does.
    // One byte beyond the limit shows that the body passes it.
    const size_t room = _responseLimit == 0 ? SIZE_MAX : _responseLimit + 1 - _bodyWireBytes;
    if (!_connection.read(_response, &_eof, room)) {
      if (reportTlsError("readResponse")) return false;
      _eof = true;
    }
    status = parseBody();
  }
  if (status == BODY_INVALID) return false;
  if (status == BODY_INCOMPLETE) {
    if (_eof) {
      reportError(ErrorKind::READ,
                  "Error in XmlRpcClient::readResponse: EOF while reading response");
      return false;
    }
    return true;
  }

  XmlRpcUtil::log(3, "XmlRpcClient::readResponse (read %d bytes)",
                  static_cast<int>(_response.length()));
  XmlRpcUtil::log(5, "response:\n%s", _response.c_str());
  if (_closeAfterResponse) {
    XmlRpcUtil::log(4, "XmlRpcClient::readResponse: the connection carries no further call.");
    dropConnection();
  }

  // Returning false ends this client's part in the dispatcher's run; the
  // IDLE state tells execute() that the response is complete.
  _connectionState = IDLE;
  return false;
}

bool XmlRpcClient::parseResponse(XmlRpcValue& result) {
  int offset = 0;
  if (!XmlRpcUtil::findTag(METHODRESPONSE_TAG, _response, &offset)) {
    // An error page says more by its status line than by its body.
    const bool ok = statusIs2xx();
    const std::string status = ok ? "" : " (" + _statusLine + ")";
    reportError(ok ? ErrorKind::PARSE : ErrorKind::HTTP,
                "Error in XmlRpcClient::parseResponse: Invalid response - no methodResponse%s. "
                "Response:\n%s",
                escapedForLog(status).c_str(), escapedForLog(_response).c_str());
    return false;
  }

  if (XmlRpcUtil::nextTagIs(PARAMS_TAG, _response, &offset) &&
      XmlRpcUtil::nextTagIs(PARAM_TAG, _response, &offset)) {
    // A normal result.
  } else if (XmlRpcUtil::nextTagIs(FAULT_TAG, _response, &offset)) {
    _isFault = true;
  } else {
    reportError(ErrorKind::PARSE,
                "Error in XmlRpcClient::parseResponse: Invalid response - no param or fault tag. "
                "Response:\n%s",
                escapedForLog(_response).c_str());
    _response.clear();
    return false;
  }

  std::string failure;
  if (!result.fromXml(_response, &offset, failure)) {
    if (!failure.empty()) failure = " (" + failure + ")";
    reportError(ErrorKind::PARSE,
                "Error in XmlRpcClient::parseResponse: Invalid response value%s. Response:\n%s",
                escapedForLog(failure).c_str(), escapedForLog(_response).c_str());
    _response.clear();
    return false;
  }
  _response.clear();
  return result.valid();
}

void XmlRpcClient::reportError(ErrorKind kind, const char* fmt, ...) {
  _lastError.kind = kind;
  va_list va;
  va_start(va, fmt);
  XmlRpcUtil::verror(fmt, va);
  va_end(va);
}

bool XmlRpcClient::reportTlsError(const char* step) {
  if (_connection.tlsError().empty()) return false;
  reportError(ErrorKind::TLS, "Error in XmlRpcClient::%s: TLS error (%s).", step,
              escapedForLog(_connection.tlsError()).c_str());
  return true;
}

bool XmlRpcClient::statusIs2xx() const {
  const size_t code = _statusLine.find(' ') + 1;
  return code > 0 && _statusLine.compare(code, 1, "2") == 0;
}

std::string XmlRpcClient::requestForLog() const {
  std::string shown = _request;
  const size_t at = _authorization.empty() ? std::string::npos
                                           : shown.find("\r\nAuthorization: " + _authorization);
  if (at != std::string::npos) shown.replace(at + 17, _authorization.size(), "Basic (hidden)");
  return shown;
}

XmlRpcClient::ErrorKind XmlRpcClient::failureKindOfState() const {
  if (_connectionState == READ_HEADER || _connectionState == READ_RESPONSE) return ErrorKind::READ;
  const bool connecting =
      _connectionState != WRITE_REQUEST || (!_keptConnection && _bytesWritten == 0);
  return connecting ? ErrorKind::CONNECT : ErrorKind::WRITE;
}

void XmlRpcClient::releaseLargeBuffers() {
  for (std::string* buffer : {&_request, &_header, &_response})
    if (buffer->capacity() > RETAINED_BUFFER_LIMIT) std::string().swap(*buffer);
}

}  // namespace XmlRpc
