// Every operating-system socket call of the stack, as static operations on
// plain descriptors. Reads and writes never block; a would-block is success.
#ifndef CORVANE_XMLRPCSOCKET_H
#define CORVANE_XMLRPCSOCKET_H

#include <string>

namespace XmlRpc {

class XmlRpcSocket {
 public:
  // A new IPv4 stream socket, or a negative value.
  static int socket();
  static void close(int fd);

  static bool setNonBlocking(int fd);

  // Appends everything readable now to `s`; `*eof` tells whether the peer
  // has closed. False only on a fatal error; data read before it stays in `s`.
  static bool nbRead(int fd, std::string& s, bool* eof);
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

  // Resolves `host` and starts connecting; true when connected or connecting.
  static bool connect(int fd, const std::string& host, int port);

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
