// Logging and error reporting for the whole stack, and the XML tag scanners
// and entity coders that the value and response readers are built on.
#ifndef CORVANE_XMLRPCUTIL_H
#define CORVANE_XMLRPCUTIL_H

#include <array>
#include <cstdarg>
#include <string>
#include <string_view>

#if defined(__GNUC__)
#define CORVANE_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define CORVANE_PRINTF(fmtIndex, firstArg)
#endif

namespace XmlRpc {

// The version banner, sent as the User-Agent of every request.
extern const char XMLRPC_VERSION[];

// The verbosity and the two handlers are process-wide and read by every call
// without a lock: set them before threads that call start, not while they run.
// A handler is called on the thread whose call reports; the default ones write
// each line with one write(), so that lines of several threads never mix.

// Receives every progress message that passes the verbosity filter.
class XmlRpcLogHandler {
 public:
  static XmlRpcLogHandler* getLogHandler() { return _logHandler; }
  // Installs a sink that the caller keeps alive while it is installed;
  // a null handler puts the default one (standard output) back.
  static void setLogHandler(XmlRpcLogHandler* handler);

  // Messages with a level up to the verbosity are logged; 0 logs nothing.
  static int getVerbosity() { return _verbosity; }
  static void setVerbosity(int level) { _verbosity = level; }

  virtual void log(int level, const char* msg) = 0;

 protected:
  ~XmlRpcLogHandler() = default;

  static XmlRpcLogHandler* _logHandler;
  static int _verbosity;
};

// Receives every error message; errors are never filtered.
class XmlRpcErrorHandler {
 public:
  static XmlRpcErrorHandler* getErrorHandler() { return _errorHandler; }
  // Installs a sink that the caller keeps alive while it is installed;
  // a null handler puts the default one (standard error) back.
  static void setErrorHandler(XmlRpcErrorHandler* handler);

  virtual void error(const char* msg) = 0;

 protected:
  ~XmlRpcErrorHandler() = default;

  static XmlRpcErrorHandler* _errorHandler;
};

// The process-wide log verbosity.
void setVerbosity(int level);
int getVerbosity();

class XmlRpcUtil {
 public:
  // Formats a message (at most 1022 characters) for the log handler when
  // `level` is at most the verbosity.
  static void log(int level, const char* fmt, ...) CORVANE_PRINTF(2, 3);
  // Formats a message (at most 1022 characters) for the error handler.
  static void error(const char* fmt, ...) CORVANE_PRINTF(1, 2);
  static void verror(const char* fmt, va_list va) CORVANE_PRINTF(1, 0);
  // From now on the text of each error line reported on this thread is also
  // kept in `*text`, or nowhere when it is null. Returns the keeper it
  // replaces, for the caller to put back.
  static std::string* keepErrorText(std::string* text);

  // The scanners read from `*offset` and move it forward only on success.

  // True when `tag` comes next in `xml`, after optional whitespace.
  static bool nextTagIs(const char* tag, const std::string& xml, int* offset);
  // True when `tag` occurs anywhere at or after the offset; moves past it.
  static bool findTag(const char* tag, const std::string& xml, int* offset);
  // The raw content between the next `tag` and its closing tag, or "".
  static std::string parseTag(const char* tag, const std::string& xml, int* offset);
  // The next tag text ("<...>") after optional whitespace, or "".
  static std::string getNextTag(const std::string& xml, int* offset);

  // getNextTag and parseTag without the copy: the result points into `xml`.
  static std::string_view getNextTagView(const std::string& xml, int* offset);
  static std::string_view parseTagView(const char* tag, const std::string& xml, int* offset);

  // Replaces < > & ' " by their entities.
  static std::string xmlEncode(const std::string& raw);
  // Replaces the five entities by their characters and the character references
  // "&#N;" and "&#xH;" by their UTF-8 bytes; a reference to 0, to a surrogate or
  // beyond U+10FFFF, and anything else, passes through.
  static std::string xmlDecode(const std::string& encoded);
  // The same coders appending their result to `out`.
  static void xmlEncode(std::string_view raw, std::string& out);
  static void xmlDecode(std::string_view encoded, std::string& out);

  // For each byte, the entity that xmlEncode writes in its place ("&lt;" for
  // '<'), or null for a byte that it copies.
  static const std::array<const char*, 256> ENTITY_OF;
};

}  // namespace XmlRpc

#endif
