// The proxy for the provisioning service.
#include "TRpcSrv.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "XmlRpcClient.h"
#include "XmlRpcException.h"
#include "XmlRpcValue.h"

namespace {

using XmlRpc::XmlRpcValue;

// Creating a client only allocates; attempts are repeated at once, without delay.
constexpr int MAX_CONNECT_ATTEMPTS = 10;

// Writes `text` on standard error under a heading, one line of it per line,
// each behind `mark`, so that no byte of it can pass for a line of rpcset's own.
void showText(const char* heading, char mark, const std::string& text) {
  std::fprintf(stderr, "rpcset: %s, %zu bytes:\n", heading, text.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = TRpcSrv::Escape(text.substr(start, end - start));
    std::fprintf(stderr, "%c %s\n", mark, line.c_str());
    start = end + 1;
  }
}

// The library's client, which shows what it writes and reads while `show` is
// set, each text after `beforeLine` has run.
class ShowingClient : public XmlRpc::XmlRpcClient {
 public:
  template <typename... Where>
  ShowingClient(const bool& show, const std::function<void()>& beforeLine, Where&&... where)
      : XmlRpcClient(std::forward<Where>(where)...), _show(show), _beforeLine(beforeLine) {}

 protected:
  bool writeRequest() override {
    // Every attempt, a resend included, writes the request from its first byte;
    // a TLS handshake comes here several times before that byte goes out.
    if (_show && _bytesWritten == 0 && !_requestLogged) show("request", '>', requestForLog());
    return XmlRpcClient::writeRequest();
  }

  bool readResponse() override {
    const bool reading = XmlRpcClient::readResponse();
    if (_show && _connectionState == IDLE) show("response body", '<', _response);
    return reading;
  }

 private:
  void show(const char* heading, char mark, const std::string& text) {
    if (_beforeLine) _beforeLine();
    showText(heading, mark, text);
  }

  const bool& _show;
  const std::function<void()>& _beforeLine;
};

// The code and text of a well-formed fault value.
bool readFault(XmlRpcValue& fault, int& code, std::string& text) {
  if (fault.getType() != XmlRpcValue::TypeStruct) return false;
  // A member that is missing is added as an invalid value, of neither type.
  XmlRpcValue& codeValue = fault["faultCode"];
  XmlRpcValue& textValue = fault["faultString"];
  if (codeValue.getType() != XmlRpcValue::TypeInt || textValue.getType() != XmlRpcValue::TypeString)
    return false;
  code = codeValue;
  text = static_cast<std::string&>(textValue);
  return true;
}

}  // namespace

TRpcSrv::TRpcSrv()
    : ConnState(0), TimeLimit(-1.0), Verbose(false), Outcome(CALL_NOT_MADE), LastFaultCode(0) {}

TRpcSrv::~TRpcSrv() = default;

int TRpcSrv::RPCSrvConnect(const char* host, const char* port) {
  if (host == nullptr || port == nullptr) return -1;
  if (ConnState == 1) return 1;

  for (int failures = 0; failures < MAX_CONNECT_ATTEMPTS; ++failures) {
    try {
      int portNumber = static_cast<int>(std::strtol(port, nullptr, 10));
      SrvClient.reset(new ShowingClient(Verbose, BeforeLine, host, portNumber));
      ConnState = 1;
      return 1;
    } catch (...) {
      ConnState = -1;
    }
  }
  return ConnState;
}

int TRpcSrv::RPCSrvConnect(const std::string& url, std::string& reason) {
  try {
    SrvClient.reset(new ShowingClient(Verbose, BeforeLine, url));
    ConnState = 1;
  } catch (const XmlRpc::XmlRpcException& bad) {
    // "XmlRpcClient: bad URL: ..." without the class that says it.
    const std::string& message = bad.getMessage();
    reason = Escape(message.substr(message.find(": ") + 2));
    ConnState = -1;
  }
  return ConnState;
}

std::string TRpcSrv::SetTls(const XmlRpc::XmlRpcConnection::TlsOptions& options) {
  // Without a file there is nothing to check, and the system's certificates
  // are loaded only when a connection needs them.
  const bool files = !options.caFile.empty() || !options.certFile.empty();
  std::string reason = files ? XmlRpc::XmlRpcClient::checkTlsOptions(options) : "";
  if (reason.empty() && SrvClient) SrvClient->setTlsOptions(options);
  return Escape(reason);
}

void TRpcSrv::SetBasicAuth(const std::string& user, const std::string& password) {
  if (SrvClient) SrvClient->setBasicAuth(user, password);
}

std::string TRpcSrv::Url() const {
  return SrvClient ? Escape(SrvClient->url()) : "";
}

int TRpcSrv::SetBoot(std::string first, std::string second) {
  return call("SetBOOT", {&first, &second});
}

int TRpcSrv::SetDHCP(std::string first, std::string second, std::string third) {
  return call("SetDHCP", {&first, &second, &third});
}

std::string TRpcSrv::Escape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\t') {
      escaped += "\\t";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\\') {
      escaped += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
      escaped += hex;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

int TRpcSrv::call(const char* method, std::initializer_list<const std::string*> params) {
  Outcome = CALL_NOT_MADE;
  if (ConnState != 1) return -1;

  XmlRpcValue args;
  XmlRpcValue result;
  int index = 0;
  for (const std::string* param : params)
    args[index++] = XmlRpcValue(*param);

  // Failures reach standard error through the stack; the caller decides what
  // to make of the outcome.
  if (!SrvClient->execute(method, args, result, TimeLimit))
    Outcome = CALL_FAILED;
  else if (!SrvClient->isFault())
    Outcome = CALL_SUCCEEDED;
  else if (readFault(result, LastFaultCode, LastFaultString))
    Outcome = CALL_FAULT;
  else
    Outcome = CALL_MALFORMED_FAULT;
  return 0;
}
