// The rpcset tool's proxy for the provisioning service: one client, one
// operation per remote method.
#ifndef CORVANE_TRPCSRV_H
#define CORVANE_TRPCSRV_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

namespace XmlRpc {
class XmlRpcClient;
}

class TRpcSrv {
 public:
  TRpcSrv();
  ~TRpcSrv();
  TRpcSrv(const TRpcSrv&) = delete;
  TRpcSrv& operator=(const TRpcSrv&) = delete;

  // Creates the client for `host` and `port` (decimal text); connects nothing
  // yet. 1 when the client exists, -1 when it could not be made.
  int RPCSrvConnect(const char* host, const char* port);

  // Sends "SetBOOT" with the string parameters (first, second). 0 when the
  // call was made, whatever its outcome; -1 when not connected.
  int SetBoot(std::string first, std::string second);
  // Sends "SetDHCP" with the string parameters (first, second, third).
  int SetDHCP(std::string first, std::string second, std::string third);

 private:
  int call(const char* method, std::initializer_list<const std::string*> params);

  // 1 connected, -1 the last attempt to make the client failed, 0 not yet.
  int32_t ConnState;
  std::unique_ptr<XmlRpc::XmlRpcClient> SrvClient;
};

#endif
