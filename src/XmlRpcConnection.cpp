// The plain side of a connection: sockets for TCP and Unix addresses, and
// their reads and writes. TLS, when asked for, takes over each operation.
#include "XmlRpcConnection.h"

#include <cerrno>

#include "XmlRpcSocket.h"

namespace XmlRpc {

XmlRpcConnection::ConnectResult XmlRpcConnection::connect(const SocketAddress& address) {
  close();
  _error = 0;
  _tlsError.clear();
  _truncated = false;
  const int fd = XmlRpcSocket::socket(address.family());
  if (fd < 0) {
    _error = errno;
    return NO_SOCKET;
  }
  _fd = fd;
  ConnectResult result = CONNECTING;
  if (!XmlRpcSocket::setNonBlocking(fd))
    result = NOT_NON_BLOCKING;
  else if (!XmlRpcSocket::connect(fd, address))
    result = NOT_CONNECTED;
  if (result != CONNECTING) {
    _error = errno;
    close();
  }
  return result;
}

bool XmlRpcConnection::write(const std::string& s, int* bytesSoFar) {
  if (_tls) return tlsWrite(s, bytesSoFar);
  if (XmlRpcSocket::nbWrite(_fd, s, bytesSoFar)) return true;
  _error = errno;
  return false;
}

bool XmlRpcConnection::read(std::string& s, bool* eof, std::size_t maxBytes) {
  _truncated = false;
  if (_tls) return tlsRead(s, eof, maxBytes);
  if (XmlRpcSocket::nbRead(_fd, s, eof, maxBytes)) return true;
  _error = errno;
  return false;
}

bool XmlRpcConnection::idle() {
  if (_fd < 0) return false;
  return _tls ? tlsIdle() : XmlRpcSocket::nothingToRead(_fd);
}

void XmlRpcConnection::close() {
  if (_fd < 0) return;
  if (_tls) tlsClose();
  XmlRpcSocket::close(_fd);
  _fd = -1;
}

}  // namespace XmlRpc
