// Non-blocking socket operations on plain descriptors.
#include "XmlRpcSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "XmlRpcUtil.h"

namespace XmlRpc {

namespace {

// Bytes asked of one read; one byte of the buffer is kept for a terminating NUL.
constexpr int READ_SIZE = 4096;

// Room for "error " and any int.
constexpr int ERROR_TEXT_SIZE = 60;

template <typename Address>
SocketAddress toSocketAddress(const Address& address) {
  static_assert(sizeof(Address) <= sizeof(sockaddr_storage), "an address fits the storage");
  SocketAddress stored;
  std::memset(&stored, 0, sizeof(stored));
  std::memcpy(&stored.address, &address, sizeof(address));
  stored.length = sizeof(address);
  return stored;
}

// Logs the result of a read or write at level 5. A log handler may change
// errno, which the caller still has to read.
void logResult(const char* fmt, ssize_t result) {
  const int savedErrno = errno;
  XmlRpcUtil::log(5, fmt, static_cast<int>(result));
  errno = savedErrno;
}

}  // namespace

int XmlRpcSocket::socket() {
  return socket(AF_INET);
}

int XmlRpcSocket::socket(int family) {
  return ::socket(family, SOCK_STREAM, 0);
}

void XmlRpcSocket::close(int fd) {
  XmlRpcUtil::log(4, "XmlRpcSocket::close: fd %d.", fd);
  ::close(fd);
}

bool XmlRpcSocket::setNonBlocking(int fd) {
  return ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0;
}

bool XmlRpcSocket::nbRead(int fd, std::string& s, bool* eof, std::size_t maxBytes) {
  *eof = false;
  char readBuf[READ_SIZE];
  while (maxBytes > 0) {
    ssize_t n = ::read(fd, readBuf, std::min<std::size_t>(READ_SIZE - 1, maxBytes));
    logResult("XmlRpcSocket::nbRead: read/recv returned %d.", n);
    if (n > 0) {
      s.append(readBuf, static_cast<size_t>(n));
      maxBytes -= static_cast<size_t>(n);
    } else if (n == 0) {
      *eof = true;
      return true;
    } else {
      return nonFatalError();
    }
  }
  return true;
}

bool XmlRpcSocket::nbWrite(int fd, const std::string& s, int* bytesSoFar) {
  int remaining = static_cast<int>(s.length()) - *bytesSoFar;
  if (remaining <= 0 || *bytesSoFar < 0) return true;
  const char* next = s.data() + *bytesSoFar;
  while (remaining > 0) {
    // MSG_NOSIGNAL: a peer that has gone away must fail the write, not kill the process.
    ssize_t n = ::send(fd, next, static_cast<size_t>(remaining), MSG_NOSIGNAL);
    logResult("XmlRpcSocket::nbWrite: send/write returned %d.", n);
    if (n <= 0) return nonFatalError();
    next += n;
    remaining -= static_cast<int>(n);
    *bytesSoFar += static_cast<int>(n);
  }
  return true;
}

bool XmlRpcSocket::nothingToRead(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

bool XmlRpcSocket::setReuseAddr(int fd) {
  int flag = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof(flag)) == 0;
}

bool XmlRpcSocket::bind(int fd, int port) {
  sockaddr_in saddr;
  std::memset(&saddr, 0, sizeof(saddr));
  saddr.sin_family = AF_INET;
  saddr.sin_addr.s_addr = htonl(INADDR_ANY);
  saddr.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(fd, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr)) == 0;
}

bool XmlRpcSocket::listen(int fd, int backlog) {
  return ::listen(fd, backlog) == 0;
}

int XmlRpcSocket::accept(int fd) {
  sockaddr_in addr;
  socklen_t addrlen = sizeof(addr);
  return ::accept(fd, reinterpret_cast<sockaddr*>(&addr), &addrlen);
}

bool XmlRpcSocket::resolve(const std::string& host, int port,
                           std::vector<SocketAddress>& addresses) {
  addresses.clear();
  const uint16_t networkPort = htons(static_cast<uint16_t>(port));

  // The resolver would give a dotted IPv4 address back unchanged, but only
  // after reading its configuration files, which costs more than the whole call.
  sockaddr_in ipv4;
  std::memset(&ipv4, 0, sizeof(ipv4));
  if (::inet_pton(AF_INET, host.c_str(), &ipv4.sin_addr) == 1) {
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = networkPort;
    addresses.push_back(toSocketAddress(ipv4));
    return true;
  }

  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  std::string name = host;
  // Brackets, as in a URL, hold an IPv6 address, never a name.
  if (host.length() >= 2 && host.front() == '[' && host.back() == ']') {
    name = host.substr(1, host.length() - 2);
    hints.ai_flags = AI_NUMERICHOST;
  }
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, ::freeaddrinfo);

  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen == sizeof(sockaddr_in)) {
      std::memcpy(&ipv4, entry->ai_addr, sizeof(ipv4));
      ipv4.sin_port = networkPort;
      addresses.push_back(toSocketAddress(ipv4));
    } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen == sizeof(sockaddr_in6)) {
      sockaddr_in6 ipv6;
      std::memcpy(&ipv6, entry->ai_addr, sizeof(ipv6));
      ipv6.sin6_port = networkPort;
      addresses.push_back(toSocketAddress(ipv6));
    }
  }
  return !addresses.empty();
}

bool XmlRpcSocket::unixAddress(const std::string& path, SocketAddress& address) {
  sockaddr_un local;
  std::memset(&local, 0, sizeof(local));
  // The path and its terminating NUL must fit.
  if (path.length() >= sizeof(local.sun_path)) return false;
  local.sun_family = AF_UNIX;
  std::memcpy(local.sun_path, path.data(), path.length());
  address = toSocketAddress(local);
  return true;
}

bool XmlRpcSocket::connect(int fd, const SocketAddress& address) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) == 0)
    return true;
  return nonFatalError();
}

bool XmlRpcSocket::connect(int fd, const std::string& host, int port) {
  std::vector<SocketAddress> addresses;
  if (!resolve(host, port, addresses)) return false;
  for (const SocketAddress& address : addresses)
    if (address.family() == AF_INET) return connect(fd, address);
  return false;
}

bool XmlRpcSocket::isConnectFailure(int error) {
  return error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH ||
         error == ENETUNREACH;
}

int XmlRpcSocket::getError() {
  return errno;
}

std::string XmlRpcSocket::getErrorMsg() {
  return getErrorMsg(getError());
}

std::string XmlRpcSocket::getErrorMsg(int error) {
  char err[ERROR_TEXT_SIZE];
  std::snprintf(err, sizeof(err), "error %d", error);
  return std::string(err);
}

bool XmlRpcSocket::nonFatalError() {
  int err = errno;
  return err == EINPROGRESS || err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace XmlRpc
