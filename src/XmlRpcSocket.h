// Every operating-system socket call of the stack, as static operations on
// plain descriptors. Reads and writes never block; a would-block is success.
#ifndef CORVANE_XMLRPCSOCKET_H
#define CORVANE_XMLRPCSOCKET_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace XmlRpc {

// An IPv4 or IPv6 address with its port, or a Unix socket's path, as connect() takes it.
struct SocketAddress {
  sockaddr_storage address;
  socklen_t length;

  int family() const { return address.ss_family; }
};

class XmlRpcSocket {
 public:
  // A new IPv4 stream socket, or a negative value.
  static int socket();
  // A new stream socket of the address family `family` (AF_INET, AF_INET6).
  static int socket(int family);
  static void close(int fd);

  static bool setNonBlocking(int fd);

  // Appends everything readable now to `s`, but at most `maxBytes`; `*eof`
  // tells whether the peer has closed. False only on a fatal error; data read
  // before it stays in `s`.
  static bool nbRead(int fd, std::string& s, bool* eof, std::size_t maxBytes = SIZE_MAX);
  // Writes `s` from `*bytesSoFar` on, advancing it, until done or the socket
  // would block. False only on a fatal error; never raises SIGPIPE.
  static bool nbWrite(int fd, const std::string& s, int* bytesSoFar);
  // True when a read on `fd` would block now: no bytes, no end of file and no
  // error are waiting. Reads nothing.
  static bool nothingToRead(int fd);

  static bool setReuseAddr(int fd);
  // Binds to `port` on every local IPv4 address.
  static bool bind(int fd, int port);
  static bool listen(int fd, int backlog);
  static int accept(int fd);

  // The addresses of `host` at `port`, IPv4 and IPv6, in the order to try
  // them. `host` is a name, a dotted IPv4 address, which is taken as it is
  // without asking the resolver, or an IPv6 address, bare or in brackets
  // ("::1", "[::1]"). False when it does not resolve.
  static bool resolve(const std::string& host, int port, std::vector<SocketAddress>& addresses);
  // The address of the Unix socket at `path`; false when the path does not fit one.
  static bool unixAddress(const std::string& path, SocketAddress& address);
  // Starts connecting; true when connected or connecting.
  static bool connect(int fd, const SocketAddress& address);
  // Starts connecting the IPv4 socket `fd` to the first IPv4 address of `host`.
  static bool connect(int fd, const std::string& host, int port);
  // True for the errors with which a connection fails before it is made: the
  // server refused it, or could not be reached.
  static bool isConnectFailure(int error);

  static int getError();
  // "error N" for the current errno, or for `error`.
  static std::string getErrorMsg();
  static std::string getErrorMsg(int error);

 private:
  // True for the errors after which the operation may succeed later.
  static bool nonFatalError();
};

}  // namespace XmlRpc

#endif
