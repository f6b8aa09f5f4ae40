// Logging and error reporting, and the XML tag scanners and entity coders.
#include "XmlRpcUtil.h"

#include <cstdarg>
#include <cstdio>
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

void setVerbosity(int level) { XmlRpcLogHandler::setVerbosity(level); }
int getVerbosity() { return XmlRpcLogHandler::getVerbosity(); }

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

}  // namespace XmlRpc
