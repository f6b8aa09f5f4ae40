// One connection of a client to its server: plain TCP, a Unix socket, or TLS
// over either, behind the same non-blocking connect, write, read, check before
// reuse and close. OpenSSL is loaded when the first TLS connection is made, so
// that a process that never speaks TLS never loads it.
#ifndef CORVANE_XMLRPCCONNECTION_H
#define CORVANE_XMLRPCCONNECTION_H

#include <cstddef>
#include <memory>
#include <string>

namespace XmlRpc {

struct SocketAddress;

class XmlRpcConnection {
 public:
  // How a TLS connection checks its server and shows itself.
  struct TlsOptions {
    // A PEM file of the certificates trusted instead of the system's trust
    // store (OpenSSL's default verify paths, which SSL_CERT_FILE and
    // SSL_CERT_DIR override); empty: the system's.
    std::string caFile{};
    // A client certificate (PEM, with its chain) and its private key (PEM);
    // empty keyFile: the key is in certFile. Empty certFile: none is sent.
    std::string certFile{};
    std::string keyFile{};
    // True: the server's certificate chain must lead to a trusted certificate
    // and name the host called. False encrypts without checking who answers:
    // anyone between client and server can read and change the calls.
    bool verifyPeer = true;
  };

  XmlRpcConnection();
  // Closes the connection if one is open.
  ~XmlRpcConnection();
  XmlRpcConnection(const XmlRpcConnection&) = delete;
  XmlRpcConnection& operator=(const XmlRpcConnection&) = delete;

  // Whether this build can speak TLS at all (the CMake option CORVANE_TLS).
  static bool tlsBuilt();
  // Empty when the files that `options` names load and the client
  // certificate matches its key; otherwise what is wrong, naming the file.
  // Loads OpenSSL.
  static std::string checkTlsOptions(const TlsOptions& options);

  // Every connection made from now on speaks TLS to `serverName` (a host
  // name, or an IPv4 or IPv6 address without brackets), checked as `options` say.
  void useTls(const std::string& serverName, const TlsOptions& options);

  enum ConnectResult { CONNECTING, NO_SOCKET, NOT_NON_BLOCKING, NOT_CONNECTED };
  // Opens a non-blocking stream socket for `address` (IPv4, IPv6 or a Unix
  // socket) and starts connecting; any open connection is closed first. On
  // failure error() holds the errno and the socket is closed again.
  ConnectResult connect(const SocketAddress& address);

  // Writes `s` from `*bytesSoFar` on, advancing it, as far as the connection
  // takes it now; over TLS the handshake comes first. False on a failure:
  // tlsError() tells TLS's, error() the errno of a system one. Never raises SIGPIPE.
  bool write(const std::string& s, int* bytesSoFar);
  // Appends everything readable now to `s`, but at most `maxBytes`; `*eof`
  // tells whether the server has ended the connection, truncated() whether it
  // did so without TLS's close_notify. False on a failure, told as for write().
  // Over TLS, bytes beyond `maxBytes` may stay inside OpenSSL, where the
  // dispatcher does not see them: a caller stopped by `maxBytes` fails or
  // reads again before it waits.
  bool read(std::string& s, bool* eof, std::size_t maxBytes);
  // Whether a kept connection can carry a call: nothing came on it since the
  // last response (no end, no error, no data). TLS records of the protocol's
  // own, such as session tickets, are taken in and do not count.
  bool idle();
  // Ends the connection (over TLS with a close_notify if it can go out now)
  // and closes the socket.
  void close();

  int fd() const { return _fd; }
  int error() const { return _error; }
  const std::string& tlsError() const { return _tlsError; }
  bool truncated() const { return _truncated; }
  // The dispatcher events to wait for next: `natural`, unless TLS needs the
  // other direction first (a handshake's reply, say).
  unsigned events(unsigned natural) const;

 private:
  struct Tls;
  bool tlsWrite(const std::string& s, int* bytesSoFar);
  bool tlsRead(std::string& s, bool* eof, std::size_t maxBytes);
  bool tlsIdle();
  void tlsClose();
  // After a TLS operation that returned `result`: true when it waits for the
  // socket, false with the failure recorded otherwise.
  bool tlsWaitOrFail(int result);

  int _fd;
  int _error;
  std::string _tlsError;
  bool _truncated;
  std::unique_ptr<Tls> _tls;
};

}  // namespace XmlRpc

#endif
