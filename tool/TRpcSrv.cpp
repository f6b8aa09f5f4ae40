// The proxy for the provisioning service.
#include "TRpcSrv.h"

#include <cstdlib>

#include "XmlRpcClient.h"
#include "XmlRpcValue.h"

namespace {

// Creating a client only allocates; attempts are repeated at once, without delay.
constexpr int MAX_CONNECT_ATTEMPTS = 10;

}  // namespace

TRpcSrv::TRpcSrv() : ConnState(0) {}

TRpcSrv::~TRpcSrv() = default;

int TRpcSrv::RPCSrvConnect(const char* host, const char* port) {
  if (host == nullptr || port == nullptr) return -1;
  if (ConnState == 1) return 1;

  for (int failures = 0; failures < MAX_CONNECT_ATTEMPTS; ++failures) {
    try {
      int portNumber = static_cast<int>(std::strtol(port, nullptr, 10));
      SrvClient.reset(new XmlRpc::XmlRpcClient(host, portNumber));
      ConnState = 1;
      return 1;
    } catch (...) {
      ConnState = -1;
    }
  }
  return ConnState;
}

int TRpcSrv::SetBoot(std::string first, std::string second) {
  return call("SetBOOT", {&first, &second});
}

int TRpcSrv::SetDHCP(std::string first, std::string second, std::string third) {
  return call("SetDHCP", {&first, &second, &third});
}

int TRpcSrv::call(const char* method, std::initializer_list<const std::string*> params) {
  if (ConnState != 1) return -1;

  XmlRpc::XmlRpcValue args;
  XmlRpc::XmlRpcValue result;
  int index = 0;
  for (const std::string* param : params)
    args[index++] = XmlRpc::XmlRpcValue(*param);

  // The reply is not passed on: failures reach standard error through the stack.
  SrvClient->execute(method, args, result);
  return 0;
}
