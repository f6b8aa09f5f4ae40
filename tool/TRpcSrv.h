// The rpcset tool's proxy for the provisioning service: one client, one
// operation per remote method.
#ifndef CORVANE_TRPCSRV_H
#define CORVANE_TRPCSRV_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "XmlRpcConnection.h"

namespace XmlRpc {
class XmlRpcClient;
}

class TRpcSrv {
 public:
  // What became of the last call.
  enum CallOutcome {
    CALL_NOT_MADE,
    CALL_SUCCEEDED,
    // The exchange failed; the client reported why on standard error.
    CALL_FAILED,
    // The server answered with a fault: FaultCode() and FaultString().
    CALL_FAULT,
    // A fault whose value is not an int faultCode with a string faultString.
    CALL_MALFORMED_FAULT
  };

  TRpcSrv();
  ~TRpcSrv();
  TRpcSrv(const TRpcSrv&) = delete;
  TRpcSrv& operator=(const TRpcSrv&) = delete;

  // Creates the client for `host` and `port` (decimal text); connects nothing
  // yet. 1 when the client exists, -1 when it could not be made.
  int RPCSrvConnect(const char* host, const char* port);
  // Creates the client for `url`, in any form the library's client takes.
  // 1 when the client exists; -1 when the URL is bad, with why in `reason`.
  int RPCSrvConnect(const std::string& url, std::string& reason);

  // How an https client checks its server and shows itself, for the client
  // made: "" when its files load, otherwise what is wrong, naming the file.
  std::string SetTls(const XmlRpc::XmlRpcConnection::TlsOptions& options);
  // Sends Basic credentials with every call of the client made.
  void SetBasicAuth(const std::string& user, const std::string& password);
  // The URL called, without user name and password; "" before a client is made.
  std::string Url() const;

  // Sends "SetBOOT" with the string parameters (first, second). 0 when the
  // call was made, whatever its outcome (see LastOutcome()); -1 when not connected.
  int SetBoot(std::string first, std::string second);
  // Sends "SetDHCP" with the string parameters (first, second, third).
  int SetDHCP(std::string first, std::string second, std::string third);

  // Each later call gives up after `seconds`; a negative limit (the default)
  // waits for as long as the server takes.
  void SetTimeLimit(double seconds) { TimeLimit = seconds; }
  // Shows every request as written and every response body as read on
  // standard error, escaped (see Escape()) and marked line by line.
  void SetVerbose(bool verbose) { Verbose = verbose; }
  // Runs before each line that SetVerbose() shows, so that a line the caller
  // keeps on the terminal can make way for it.
  void SetBeforeLine(std::function<void()> hook) { BeforeLine = std::move(hook); }

  CallOutcome LastOutcome() const { return Outcome; }
  int FaultCode() const { return LastFaultCode; }
  const std::string& FaultString() const { return LastFaultString; }

  // `text` with its control characters as C escapes (\n, \t, \r, others \xHH)
  // and a backslash doubled, so that it cannot end or forge a line of output.
  static std::string Escape(const std::string& text);

 private:
  int call(const char* method, std::initializer_list<const std::string*> params);

  // 1 connected, -1 the last attempt to make the client failed, 0 not yet.
  int32_t ConnState;
  std::unique_ptr<XmlRpc::XmlRpcClient> SrvClient;

  double TimeLimit;
  bool Verbose;
  std::function<void()> BeforeLine;
  CallOutcome Outcome;
  int LastFaultCode;
  std::string LastFaultString;
};

#endif
