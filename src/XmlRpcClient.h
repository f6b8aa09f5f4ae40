// An XML-RPC client for one server: one call at a time over an HTTP/1.1
// connection (TCP, TLS or a Unix socket) that is kept open between calls and
// made anew once when a kept connection turns out to be dead.
//
// Clients on different threads may call at the same time; one client is used
// by one thread at a time (it may pass to another thread between calls). The
// process-wide settings (verbosity, log and error handlers, double format)
// are set before the threads start.
#ifndef CORVANE_XMLRPCCLIENT_H
#define CORVANE_XMLRPCCLIENT_H

#include <cstddef>
#include <string>
#include <vector>

#include "XmlRpcConnection.h"
#include "XmlRpcDispatch.h"
#include "XmlRpcSource.h"
#include "XmlRpcUtil.h"

namespace XmlRpc {

class XmlRpcValue;
struct SocketAddress;

class XmlRpcClient : public XmlRpcSource {
 public:
  static const char REQUEST_BEGIN[];
  static const char REQUEST_END_METHODNAME[];
  static const char PARAMS_TAG[];
  static const char PARAMS_ETAG[];
  static const char PARAM_TAG[];
  static const char PARAM_ETAG[];
  static const char REQUEST_END[];
  static const char METHODRESPONSE_TAG[];
  static const char FAULT_TAG[];

  // A client for `host` and `port`, posting to `uri` ("/RPC2" when null).
  // `host` is a name, a dotted IPv4 address or an IPv6 address, bare or in
  // brackets ("::1", "[::1]"). Nothing is connected until the first call.
  XmlRpcClient(const char* host, int port, const char* uri = nullptr);
  // A client for a URL:
  //   http://[USER[:PASSWORD]@]HOST[:PORT][/PATH]   (port 80 by default)
  //   https://[USER[:PASSWORD]@]HOST[:PORT][/PATH]  (port 443 by default)
  //   unix:///ABSOLUTE/SOCKET/PATH                  (as supervisord's serverurl)
  // HOST is a name, a dotted IPv4 address or an IPv6 address in brackets. With
  // no path the request goes to "/RPC2"; over a Unix socket it always does,
  // with "localhost" as its Host field. USER and PASSWORD are percent-decoded
  // and sent as with setBasicAuth(). Throws XmlRpcException, naming what is
  // wrong (never the password), for any other URL, and for an https URL when
  // the library is built without TLS. Nothing is connected until the first call.
  explicit XmlRpcClient(const std::string& url);
  // Closes the connection if one is open.
  ~XmlRpcClient() override;

  // Calls `method` and waits for the response, for as long as it takes. An
  // array `params` is sent as one parameter per element, any other valid value
  // as a single parameter. True when a response was received and its value
  // parsed into `result`, a fault response included (see isFault()); false
  // otherwise, with the reason in lastError().
  bool execute(const char* method, const XmlRpcValue& params, XmlRpcValue& result);
  bool execute(const std::string& method, const XmlRpcValue& params, XmlRpcValue& result);
  // As above, but gives up once `timeoutSeconds` have passed (negative: no
  // limit). The limit covers connecting, to each of the host's addresses in
  // turn, writing the request, reading the response and the one resend on a
  // dead kept connection. Resolving a host name (getaddrinfo) blocks and is
  // not bounded by it: the limit starts once the name is resolved, and a
  // resend, which resolves the name again, can overrun it. Dotted IPv4 and
  // IPv6 addresses need no resolving. When the limit passes, the call reports
  // one error, closes the connection, so that a late reply is never read as
  // the next call's, and returns false; the next call connects anew.
  bool execute(const char* method, const XmlRpcValue& params, XmlRpcValue& result,
               double timeoutSeconds);
  bool execute(const std::string& method, const XmlRpcValue& params, XmlRpcValue& result,
               double timeoutSeconds);

  // How an https connection checks its server and shows itself; see
  // XmlRpcConnection::TlsOptions. verifyPeer = false encrypts without checking
  // who answers: anyone between client and server can read and change the calls.
  using TlsOptions = XmlRpcConnection::TlsOptions;
  // Takes effect from the next connection made; ignored by http and unix URLs.
  void setTlsOptions(const TlsOptions& options);
  // Empty when the files that `options` names load and the certificate
  // matches its key; otherwise what is wrong, naming the file. Lets a program
  // report a bad file before any call.
  static std::string checkTlsOptions(const TlsOptions& options);

  // Sends "Authorization: Basic ..." with every request from now on. Neither
  // the password nor the field's value is ever logged or shown in an error.
  void setBasicAuth(const std::string& user, const std::string& password);

  // The URL called, without user name and password: "http://HOST:PORT/PATH",
  // "https://..." or "unix:///PATH".
  std::string url() const;

  // The most bytes a response body may take on the wire, chunk-size lines and
  // trailers included; 64 MiB unless set, 0 for no limit beyond what the
  // framing itself holds. A Content-length beyond it fails the call before
  // any of the body is read, any other body as soon as it passes it; the
  // connection is then closed. A response header is limited to 64 KiB.
  void setResponseLimit(std::size_t bytes) { _responseLimit = bytes; }
  std::size_t responseLimit() const { return _responseLimit; }

  // Whether the last response was a fault; `result` then holds the fault value.
  bool isFault() const { return _isFault; }

  // What made a call fail.
  enum class ErrorKind {
    NONE,     // the call succeeded, or its response was a fault
    CONNECT,  // the name did not resolve, or no connection could be made
    WRITE,    // the request could not be written
    READ,     // a reset or the end of the connection before the whole response
    TIMEOUT,  // no response within the time limit
    HTTP,     // the response header, its length or its chunks are unusable, or a
              // status other than 2xx came without a methodResponse
    PARSE,    // no methodResponse, or a value that does not read
    TLS       // the TLS handshake or the server's certificate failed, or
              // OpenSSL could not be loaded
  };
  struct Error {
    ErrorKind kind = ErrorKind::NONE;
    // The text of the call's last error line; empty when it had none.
    std::string message;
  };
  // Why the last call failed. Each call starts it anew.
  Error lastError() const { return _lastError; }

  // Drops the connection.
  void close() override;

  unsigned handleEvent(unsigned eventType) override;

 protected:
  // Each step of a call can be replaced by a derived client.
  virtual bool doConnect();
  virtual bool setupConnection();
  virtual bool generateRequest(const char* methodName, const XmlRpcValue& params);
  virtual std::string generateHeader(const std::string& body);
  virtual bool writeRequest();
  virtual bool readHeader();
  virtual bool readResponse();
  virtual bool parseResponse(XmlRpcValue& result);

  enum HeaderStatus { HEADER_INCOMPLETE, HEADER_INVALID, HEADER_COMPLETE };
  // Looks in `_header` for the blank line that ends it and for the
  // "Content-length:" and "Transfer-Encoding:" fields; once the header is
  // complete, chooses the body's framing and moves the bytes after the header
  // into `_response`. Reports an unusable length or coding itself.
  HeaderStatus parseHeader();

  // How the end of the body is found.
  enum BodyFraming { BODY_BY_LENGTH, BODY_CHUNKED, BODY_UNTIL_CLOSE };
  enum BodyStatus { BODY_INCOMPLETE, BODY_INVALID, BODY_COMPLETE };
  // Decides whether `_response` holds the whole body, after a complete
  // header; a chunked body is decoded in place as its bytes arrive. Reports a
  // malformed chunked body itself.
  BodyStatus parseBody();

  // Closes the dead kept connection and starts the call again on a new one;
  // `step` names the step that found it dead.
  bool resendOnFreshConnection(const char* step);

  // Reports an error line, through XmlRpcUtil::error, as the call's failure of `kind`.
  void reportError(ErrorKind kind, const char* fmt, ...) CORVANE_PRINTF(3, 4);
  // Reports the connection's TLS failure in `step`, if it had one.
  bool reportTlsError(const char* step);

  // Starts connecting to the addresses in turn, from `_nextAddress` on, until
  // a connect starts; reports the failure of the last one. A connect that
  // fails later, at the first write, goes on with the next address.
  bool connectNextAddress();

  // The request as a log line may show it: the Authorization field without its value.
  std::string requestForLog() const;

  enum ClientConnectionState {
    NO_CONNECTION,
    CONNECTING,
    WRITE_REQUEST,
    READ_HEADER,
    READ_RESPONSE,
    IDLE
  };
  ClientConnectionState _connectionState;

  std::string _host;
  std::string _uri;
  int _port;
  // The Unix socket called instead of a host, or empty.
  std::string _socketPath;
  bool _https;
  // The Authorization field's value, or empty.
  std::string _authorization;
  XmlRpcConnection _connection;

  std::string _request;
  std::string _header;
  std::string _response;

  // Reconnects made in this call; a dead kept connection is retried only once.
  int _sendAttempts;
  int _bytesWritten;
  // The request has been logged for the current attempt.
  bool _requestLogged;
  bool _executing;
  // The server closed its side during the most recent read.
  bool _eof;
  bool _isFault;
  long long _contentLength;
  BodyFraming _framing;
  // The current call runs on a connection kept from an earlier call.
  bool _keptConnection;
  // The server closes the connection after the current response, or sent
  // bytes beyond it: the connection carries no further call.
  bool _closeAfterResponse;
  // The first line of the current response's header, for error lines.
  std::string _statusLine;

  XmlRpcDispatch _disp;

  // The host's addresses, resolved by doConnect(), and the next to try.
  std::vector<SocketAddress> _addresses;
  std::size_t _nextAddress;

 private:
  // The connect to the current address failed at the first write: closes it
  // and goes on with the next address.
  bool retryWithNextAddress();
  // Registers for writing the request and for exceptional conditions.
  void watchForWriting();
  // The kind of failure in the current state, for errors that are not a step's own.
  ErrorKind failureKindOfState() const;
  // Frees the buffers that a large call has grown.
  void releaseLargeBuffers();

  Error _lastError;

  struct Url {
    std::string host, path, user, password, socketPath;
    int port = 0;
    bool https = false;
    bool credentials = false;
  };
  static Url parseUrl(const std::string& url);
  explicit XmlRpcClient(const Url& url);
  // Closes the connection, without ending the dispatcher's run.
  void dropConnection();
  // Whether the response's status is 2xx.
  bool statusIs2xx() const;

  enum ChunkStep {
    CHUNK_SIZE,
    CHUNK_DATA,
    CHUNK_DATA_END,
    CHUNK_TRAILER,
    CHUNK_DONE,
    CHUNK_FAILED
  };

  // Reads the size on a complete chunk-size line into `_chunkLeft`; what is
  // wrong with the line, or null.
  const char* readChunkSize(const char* line, const char* end);
  BodyStatus chunkError(const char* reason);

  // Where the header scan resumes: every position before it has been decided.
  size_t _headerScanPos;
  // Just after the colon of the last "Content-length:" found, or npos.
  size_t _lengthValuePos;
  // Just after the colon of the first "Transfer-Encoding:" found, or npos,
  // and how many such fields there are.
  size_t _codingValuePos;
  int _codingFields;

  // A chunked body is decoded in place: the first `_decodedSize` bytes of
  // `_response` are the body so far, the bytes after them not yet decoded.
  ChunkStep _chunkStep;
  size_t _decodedSize;
  size_t _chunkLeft;
  // Bytes of the current line already searched for its end.
  size_t _lineScanned;

  std::size_t _responseLimit;
  // Bytes of the current body that came on the wire, and the size of
  // `_response` when they were last counted.
  std::size_t _bodyWireBytes;
  std::size_t _framedSize;
  // Whether `bytes` of body pass the response limit.
  bool overLimit(std::size_t bytes) const { return _responseLimit != 0 && bytes > _responseLimit; }
  BodyStatus bodyOverLimit();
};

}  // namespace XmlRpc

#endif
