// The fuzz targets, for the parsers of bytes that come from a server, over one harness.
// Each is built with CORVANE_FUZZ_TARGET naming it; under libFuzzer it is the entry point,
// otherwise main() replays the folders named.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "XmlRpc.h"
#include "base64.h"

using namespace XmlRpc;

namespace targets {  // named: each build uses one target and leaves the others unused

void require(bool holds, const char* what, const std::string& input) {
  if (!holds)
    std::fprintf(stderr, "property broken: %s\ninput: %s\n", what, input.c_str()), std::abort();
}

// Counts error lines instead of printing them; a line beyond the formatter's bound counts as many.
struct Errors : XmlRpcErrorHandler {
  int lines = 0;
  void error(const char* msg) override { lines += std::string(msg).size() <= 1022 ? 1 : 1000; }
} errors;

// A client that is never connected, for its protected framing and parse steps.
struct Parser : XmlRpcClient {
  Parser() : XmlRpcClient("fuzz.invalid", 9) {}
  // A response fed in reads of sizes that `seed` picks (all at once for 0), then the end of
  // file (its read fails, which ends a body as a close does): what came of it, as text.
  std::string frame(const std::string& bytes, unsigned seed) {
    HeaderStatus header = HEADER_INCOMPLETE;
    BodyStatus body = BODY_INCOMPLETE;
    for (size_t at = 0, n = 0;
         at < bytes.size() && header != HEADER_INVALID && body == BODY_INCOMPLETE; at += n) {
      n = seed ? 1 + ((seed = seed * 1103515245u + 12345u) >> 16) % 41 : bytes.size();
      (header == HEADER_COMPLETE ? _response : _header) += bytes.substr(at, n);
      if (header == HEADER_COMPLETE || (header = parseHeader()) == HEADER_COMPLETE)
        body = parseBody();
    }
    if (header == HEADER_COMPLETE && body == BODY_INCOMPLETE) {
      readResponse();
      body = _connectionState == IDLE ? BODY_COMPLETE : BODY_INVALID;
    }
    const size_t kept = _framing == BODY_BY_LENGTH ? size_t(_contentLength) : _response.size();
    return std::to_string(header) + std::to_string(body) + std::to_string(_framing) + " " +
           std::to_string(_contentLength) + " " +
           (body == BODY_COMPLETE ? _response.substr(0, kept) : "");
  }
  bool parse(XmlRpcValue& result) { return parseResponse(result); }
};

// Bytes survive the entities and base64 by each coder; a value read writes out as it reads back.
void fuzz_value(const std::string& text) {
  const std::string escaped = XmlRpcUtil::xmlEncode(text);
  require(escaped.find_first_of("<>'\"") == std::string::npos &&
              XmlRpcUtil::xmlDecode(escaped) == text &&
              (text.find('&') != std::string::npos || XmlRpcUtil::xmlDecode(text) == text),
          "a text did not survive its entities", text);
  std::vector<char> decoded, appended, back;
  std::string encoded, putAppended;
  int status = 0;
  base64<char>::get(text.begin(), text.end(), std::back_inserter(decoded), status);
  base64<char>::getAppend(text.data(), text.data() + text.size(), appended);
  base64<char>::put(text.begin(), text.end(), std::back_inserter(encoded), status,
                    base64<char>::crlf());
  base64<char>::putAppend(text.data(), text.size(), putAppended);
  base64<char>::getAppend(encoded.data(), encoded.data() + encoded.size(), back);
  require(appended == decoded && putAppended == encoded, "the appending coders differ", text);
  require(std::string(back.begin(), back.end()) == text, "bytes did not survive encoding", text);
  int offset = 0, ctorOffset = 0, againOffset = 0;
  XmlRpcValue value, again;
  if (!value.fromXml(text, &offset))
    return require(offset == 0 && !value.valid(), "a failed read moved", text);
  const std::string xml = value.toXml();
  require(value.valid() && offset > 0 && offset <= static_cast<int>(text.size()),
          "a read ended outside", text);
  require(XmlRpcValue(text, &ctorOffset).toXml() == xml && ctorOffset == offset,
          "the constructor differs", text);
  // Only a date whose fields fill their widths reads back the same.
  for (size_t at = xml.find("<dateTime.iso8601>"); at != std::string::npos;
       at = xml.find("<dateTime", at + 1))
    for (size_t i = 0; i < 18; ++i) {
      const char c = xml[at + 18 + i], want = "99999999T99:99:99<"[i];
      if (want == '9' ? c < '0' || c > '9' : c != want) return;
    }
  require(again.fromXml(xml, &againOffset) && againOffset == static_cast<int>(xml.size()) &&
              again.toXml() == xml,
          "a value read back encodes otherwise", xml);
  require(xml.find("nan") != std::string::npos || (again == value && XmlRpcValue(value) == value),
          "a value read back, or a copy, differs", xml);
}

// However a response's bytes arrive (the first byte picks the reads), the framing decides as
// it does on all of them at once; then it parses. One error line for each failure, none otherwise.
void fuzz_response(const std::string& input) {
  if (input.empty()) return;
  Parser client;
  XmlRpcValue result;
  const std::string framed = client.frame(input.substr(1), 0);
  const int lines = errors.lines;
  require(Parser().frame(input.substr(1), static_cast<unsigned char>(input[0]) + 1u) == framed,
          "the outcome depends on the reads", input);
  require(lines == (framed[0] == '1' || framed[1] == '1') && errors.lines == 2 * lines,
          "not one error line per failure", input);
  if (framed.rfind("22", 0) != 0) return;
  const bool parsed = client.parse(result);
  require(errors.lines == !parsed && result.valid() == parsed, "not one error line per failure",
          input);
  require(!client.isFault() || input.find("<fault>") != std::string::npos,
          "a fault without its tag", input);
}

}  // namespace targets

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Doubles keep the default format, which must carry each one exactly.
  static const bool configured = (XmlRpcErrorHandler::setErrorHandler(&targets::errors), true);
  targets::errors.lines = 0 * configured;
  targets::CORVANE_FUZZ_TARGET(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}

#ifndef CORVANE_LIBFUZZER
// Replays every file of the folders named; a broken property aborts with the input.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
  return argc > 1 ? 0 : 1;
}
#endif
