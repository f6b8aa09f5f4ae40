// Fuzz target for the response parse: any body is parsed as a methodResponse
// by a client that is never connected.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XmlRpcClient.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"
#include "fuzz_support.h"

using corvane::fuzz::require;
using XmlRpc::XmlRpcValue;

namespace {

// The error formatter's buffer holds this many characters before its terminator.
constexpr std::size_t MAX_ERROR_LENGTH = 1022;
// Never dialled: the client only parses.
const char UNUSED_HOST[] = "fuzz.invalid";
constexpr int UNUSED_PORT = 9;

// Exposes the protected parse step on a body of the caller's choosing.
class ResponseParser : public XmlRpc::XmlRpcClient {
 public:
  ResponseParser() : XmlRpcClient(UNUSED_HOST, UNUSED_PORT) {}

  bool parse(const std::string& body, XmlRpcValue& result) {
    _response = body;
    return parseResponse(result);
  }
  const std::string& unparsed() const { return _response; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const corvane::fuzz::CountingErrors& errors = corvane::fuzz::countedErrors();
  const std::string body(reinterpret_cast<const char*>(data), size);
  ResponseParser client;
  XmlRpcValue result;
  const bool parsed = client.parse(body, result);

  require(errors.longest <= MAX_ERROR_LENGTH, "an error line exceeded its bound", body);
  if (parsed) {
    require(errors.lines == 0, "a successful parse reported an error", body);
    require(result.valid(), "a successful parse gave an invalid result", body);
  } else {
    require(errors.lines == 1, "a failed parse did not report exactly one error line", body);
    require(!result.valid(), "a failed parse left a result", body);
  }
  const bool hasEnvelope = body.find(XmlRpc::XmlRpcClient::METHODRESPONSE_TAG) != std::string::npos;
  require(hasEnvelope || !parsed, "a body without a methodResponse parsed", body);
  require(client.unparsed() == (hasEnvelope ? std::string() : body),
          "the response buffer was not cleared as it should be", body);
  require(!client.isFault() || body.find(XmlRpc::XmlRpcClient::FAULT_TAG) != std::string::npos,
          "a fault was reported without a fault tag", body);
  return 0;
}
