// The fuzz targets, one for each parser of bytes that come from a server, over
// one harness. Each is built with CORVANE_FUZZ_TARGET naming it; under libFuzzer
// it is the entry point, otherwise main() replays the files and folders named.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "XmlRpc.h"
#include "base64.h"

using namespace XmlRpc;

// A named namespace: each build uses one target and leaves the others unused.
namespace targets {

void require(bool holds, const char* what, const std::string& input) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\ninput: %s\n", what, input.c_str());
  std::abort();
}

// Counts error lines instead of printing them; each must fit the formatter's bound.
struct Errors : XmlRpcErrorHandler {
  int lines = 0;
  void error(const char* msg) override { lines += std::string(msg).size() <= 1022 ? 1 : 1000; }
} errors;

// A client that is never connected, for its protected parse steps.
struct Parser : XmlRpcClient {
  Parser() : XmlRpcClient("fuzz.invalid", 9) {}
  // The header fed in reads of the sizes `seed` picks (all at once for 0): status, length and body.
  std::string frame(const std::string& header, unsigned seed) {
    for (size_t at = 0, n = 0; at < header.size(); at += n) {
      n = seed ? 1 + ((seed = seed * 1103515245u + 12345u) >> 16) % 35 : header.size();
      _header += header.substr(at, n);
      const HeaderStatus status = parseHeader();
      if (status == HEADER_INVALID) return "invalid " + std::to_string(_contentLength);
      if (status == HEADER_COMPLETE)
        return std::to_string(_contentLength) + " " + _response +
               header.substr(std::min(at + n, header.size()));
    }
    return "incomplete";
  }
  bool parse(const std::string& body, XmlRpcValue& result) {
    return _response = body, parseResponse(result);
  }
};

// Dates whose fields fill their widths exactly are the ones that read back the same.
bool datesReadBack(const std::string& xml) {
  const char pattern[] = "99999999T99:99:99<";
  for (size_t at = xml.find("<dateTime.iso8601>"); at != std::string::npos;
       at = xml.find("<dateTime.iso8601>", at + 1))
    for (size_t i = 0; i < sizeof(pattern) - 1; ++i) {
      const char c = xml.c_str()[at + 18 + i];
      if (pattern[i] == '9' ? c < '0' || c > '9' : c != pattern[i]) return false;
    }
  return true;
}

void fuzz_value(const std::string& text) {
  int offset = 0, ctorOffset = 0, againOffset = 0;
  XmlRpcValue value, again;
  if (!value.fromXml(text, &offset))
    return require(offset == 0 && !value.valid(), "a failed read moved or kept", text);
  require(value.valid() && offset > 0 && static_cast<size_t>(offset) <= text.size(),
          "a read ended outside", text);
  const std::string encoded = value.toXml();
  require(XmlRpcValue(text, &ctorOffset).toXml() == encoded && ctorOffset == offset,
          "the constructor differs", text);
  if (!datesReadBack(encoded)) return;
  require(again.fromXml(encoded, &againOffset) && againOffset == static_cast<int>(encoded.size()),
          "an encoded value did not read back whole", encoded);
  require(again.toXml() == encoded, "a value read back encodes otherwise", encoded);
  require(
      encoded.find("nan") != std::string::npos || (again == value && XmlRpcValue(value) == value),
      "a value read back, or a copy, differs", encoded);
}

void fuzz_response(const std::string& body) {
  Parser client;
  XmlRpcValue result;
  const bool parsed = client.parse(body, result);
  require(errors.lines == (parsed ? 0 : 1) && result.valid() == parsed,
          "not one error line per failure", body);
  require(parsed || body.find("<methodResponse>") == std::string::npos || !client.isFault() ||
              body.find("<fault>") != std::string::npos,
          "a fault without a fault tag", body);
}

// However the bytes arrive, the scan decides as it does on all of them at once.
void fuzz_header(const std::string& input) {
  if (input.empty()) return;
  Parser whole, inReads;
  const std::string expected = whole.frame(input.substr(1), 0);
  const int lines = errors.lines;
  require(inReads.frame(input.substr(1), static_cast<unsigned char>(input[0]) + 1u) == expected,
          "the outcome depends on the reads", input);
  require(lines == (expected[0] == 'i' && expected[2] == 'v') && errors.lines == 2 * lines,
          "not one error line per failure", input);
}

void fuzz_base64(const std::string& text) {
  typedef base64<char> Coder;
  std::vector<char> decoded, appended, again;
  std::string encoded, putAppended;
  int status = 0;
  Coder::get(text.begin(), text.end(), std::back_inserter(decoded), status);
  Coder::getAppend(text.data(), text.data() + text.size(), appended);
  require(appended == decoded, "getAppend differs from get", text);
  Coder::put(text.begin(), text.end(), std::back_inserter(encoded), status, Coder::crlf());
  Coder::putAppend(text.data(), text.size(), putAppended);
  require(putAppended == encoded, "putAppend differs from put", text);
  Coder::getAppend(encoded.data(), encoded.data() + encoded.size(), again);
  require(std::string(again.begin(), again.end()) == text, "bytes did not survive encoding", text);
}

void fuzz_entities(const std::string& text) {
  const std::string encoded = XmlRpcUtil::xmlEncode(text);
  require(encoded.find_first_of("<>'\"") == std::string::npos, "encoding left a raw character",
          text);
  require(XmlRpcUtil::xmlDecode(encoded) == text, "a text did not survive encoding", text);
  require(text.find('&') != std::string::npos || XmlRpcUtil::xmlDecode(text) == text,
          "decoding changed", text);
}

}  // namespace targets

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool configured = (XmlRpcErrorHandler::setErrorHandler(&targets::errors),
                                  XmlRpcValue::setDoubleFormat("%.17g"), true);
  (void)configured;
  targets::errors.lines = 0;
  targets::CORVANE_FUZZ_TARGET(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}

#ifndef CORVANE_LIBFUZZER
int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i)
    if (fs::is_directory(argv[i]))
      inputs.insert(inputs.end(), fs::directory_iterator(argv[i]), fs::directory_iterator());
    else
      inputs.emplace_back(argv[i]);
  if (inputs.empty())
    return std::fprintf(stderr, "usage: %s FILE_OR_FOLDER... (no input found)\n", argv[0]), 1;
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "running %s\n", input.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  return 0;
}
#endif
