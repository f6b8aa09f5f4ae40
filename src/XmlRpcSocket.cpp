// Non-blocking socket operations on plain descriptors.
#include "XmlRpcSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "XmlRpcUtil.h"

namespace XmlRpc {

namespace {

// Bytes asked of one read; one byte of the buffer is kept for a terminating NUL.
constexpr int READ_SIZE = 4096;

// Room for "error " and any int.
constexpr int ERROR_TEXT_SIZE = 60;

// Logs the result of a read or write at level 5. A log handler may change
// errno, which the caller still has to read.
void logResult(const char* fmt, ssize_t result) {
  const int savedErrno = errno;
  XmlRpcUtil::log(5, fmt, static_cast<int>(result));
  errno = savedErrno;
}

}  // namespace

int XmlRpcSocket::socket() {
  return ::socket(AF_INET, SOCK_STREAM, 0);
}

void XmlRpcSocket::close(int fd) {
  XmlRpcUtil::log(4, "XmlRpcSocket::close: fd %d.", fd);
  ::close(fd);
}

bool XmlRpcSocket::setNonBlocking(int fd) {
  return ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0;
}

bool XmlRpcSocket::nbRead(int fd, std::string& s, bool* eof) {
  *eof = false;
  char readBuf[READ_SIZE];
  for (;;) {
    ssize_t n = ::read(fd, readBuf, READ_SIZE - 1);
    logResult("XmlRpcSocket::nbRead: read/recv returned %d.", n);
    if (n > 0) {
      s.append(readBuf, static_cast<size_t>(n));
    } else if (n == 0) {
      *eof = true;
      return true;
    } else {
      return nonFatalError();
    }
  }
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

bool XmlRpcSocket::connect(int fd, const std::string& host, int port) {
  sockaddr_in saddr;
  std::memset(&saddr, 0, sizeof(saddr));
  saddr.sin_family = AF_INET;

  // gethostbyname returns a dotted IPv4 address unchanged, but only after reading
  // the resolver's configuration files, which costs more than the whole call.
  if (::inet_pton(AF_INET, host.c_str(), &saddr.sin_addr) != 1) {
    hostent* hp = ::gethostbyname(host.c_str());
    if (hp == nullptr) return false;
    if (hp->h_addrtype != AF_INET || hp->h_length != sizeof(saddr.sin_addr)) return false;
    std::memcpy(&saddr.sin_addr, hp->h_addr_list[0], sizeof(saddr.sin_addr));
  }
  saddr.sin_port = htons(static_cast<uint16_t>(port));

  if (::connect(fd, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr)) == 0) return true;
  return nonFatalError();
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
