// What the fuzz targets share: stopping with the input that broke a property,
// and an error handler that counts error lines instead of printing them.
#ifndef CORVANE_FUZZ_SUPPORT_H
#define CORVANE_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XmlRpcUtil.h"

namespace corvane::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "property broken: %s\ninput: %s\n", what, input.c_str());
  std::abort();
}

inline void require(bool holds, const char* what, const std::string& input) {
  if (!holds) fail(what, input);
}

class CountingErrors : public XmlRpc::XmlRpcErrorHandler {
 public:
  void error(const char* msg) override {
    ++lines;
    longest = std::max(longest, std::strlen(msg));
  }
  void reset() {
    lines = 0;
    longest = 0;
  }

  int lines = 0;
  std::size_t longest = 0;
};

// The process-wide counting handler, installed on first use.
inline CountingErrors& countedErrors() {
  static CountingErrors errors;
  static const bool installed = [] {
    XmlRpc::XmlRpcErrorHandler::setErrorHandler(&errors);
    return true;
  }();
  (void)installed;
  errors.reset();
  return errors;
}

}  // namespace corvane::fuzz

#endif
