// Helpers shared by the tests: owners for real descriptors, loopback TCP
// connections, and captures of what the stack logs or prints.
#ifndef CORVANE_TESTS_TEST_SUPPORT_H
#define CORVANE_TESTS_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "XmlRpcUtil.h"

namespace corvane::test {

// Bound for every wait on a descriptor, so that a broken test fails instead of hanging.
constexpr int WAIT_LIMIT_MS = 5000;

[[noreturn]] inline void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The single owner of one descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : _fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : _fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return _fd; }
  explicit operator bool() const { return _fd >= 0; }

  // Hands the descriptor to a new owner (a source, for instance).
  int release() {
    int fd = _fd;
    _fd = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (_fd >= 0) ::close(_fd);
    _fd = fd;
  }

 private:
  int _fd = -1;
};

// True while `fd` names an open descriptor of this process.
inline bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

inline void makeNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) throwErrno("fcntl");
}

struct FdPair {
  UniqueFd first;
  UniqueFd second;
};

// A connected pair of local stream sockets.
inline FdPair makeSocketPair(bool nonBlocking = true) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throwErrno("socketpair");
  FdPair pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (nonBlocking) {
    makeNonBlocking(fds[0]);
    makeNonBlocking(fds[1]);
  }
  return pair;
}

// `first` is the read end, `second` the write end.
inline FdPair makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
  return FdPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Waits at most `timeoutMs` for one of `events`; returns the poll result bits, 0 on timeout.
inline short waitFor(int fd, short events, int timeoutMs = WAIT_LIMIT_MS) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throwErrno("poll");
  return n == 0 ? 0 : p.revents;
}

// A TCP socket, with the address of 127.0.0.1:`port` in `addr`.
inline UniqueFd tcpSocket(int port, sockaddr_in& addr) {
  addr = sockaddr_in{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throwErrno("socket");
  return fd;
}

// A socket bound to 127.0.0.1 on a port chosen by the system, not yet listening.
inline UniqueFd bindLoopback(int* port) {
  sockaddr_in addr;
  UniqueFd fd = tcpSocket(0, addr);
  socklen_t len = sizeof(addr);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) throwErrno("bind");
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throwErrno("getsockname");
  *port = ntohs(addr.sin_port);
  return fd;
}

// A TCP listener on 127.0.0.1 with an ephemeral port, closed on scope exit.
class LoopbackListener {
 public:
  LoopbackListener() : _fd(bindLoopback(&_port)) {
    if (::listen(_fd.get(), 16) != 0) throwErrno("listen");
  }

  int port() const { return _port; }
  int fd() const { return _fd.get(); }

  // The next pending connection; throws if none arrives within the wait limit.
  UniqueFd accept(int timeoutMs = WAIT_LIMIT_MS) {
    if ((waitFor(_fd.get(), POLLIN, timeoutMs) & POLLIN) == 0)
      throw std::runtime_error("no connection to accept");
    UniqueFd conn(::accept4(_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) throwErrno("accept");
    return conn;
  }

 private:
  int _port = 0;
  UniqueFd _fd;
};

// A blocking TCP connection to 127.0.0.1:`port`.
inline UniqueFd connectLoopback(int port) {
  sockaddr_in addr;
  UniqueFd fd = tcpSocket(port, addr);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    throwErrno("connect");
  return fd;
}

struct TcpPair {
  UniqueFd client;
  UniqueFd server;
};

// Both ends of one established loopback TCP connection.
inline TcpPair makeTcpPair() {
  LoopbackListener listener;
  TcpPair pair;
  pair.client = connectLoopback(listener.port());
  pair.server = listener.accept();
  return pair;
}

// Closes `fd` so that its peer sees a connection reset instead of an orderly end of file.
inline void resetConnection(UniqueFd& fd) {
  linger abort{1, 0};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)) != 0)
    throwErrno("setsockopt");
  fd.reset();
}

// Reads everything `fd` holds now, without waiting.
inline std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Sets the verbosity and puts the previous one back on scope exit.
class VerbosityGuard {
 public:
  explicit VerbosityGuard(int level) : _saved(XmlRpc::getVerbosity()) {
    XmlRpc::setVerbosity(level);
  }
  ~VerbosityGuard() { XmlRpc::setVerbosity(_saved); }
  VerbosityGuard(const VerbosityGuard&) = delete;
  VerbosityGuard& operator=(const VerbosityGuard&) = delete;

 private:
  int _saved;
};

// Records every log message that reaches the log handler, at the given verbosity;
// the previous handler and verbosity come back on scope exit.
class LogCapture : XmlRpc::XmlRpcLogHandler {
 public:
  struct Entry {
    int level;
    std::string msg;
  };

  explicit LogCapture(int verbosity) : _verbosity(verbosity), _saved(getLogHandler()) {
    setLogHandler(this);
  }
  ~LogCapture() { setLogHandler(_saved); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<Entry>& entries() const { return _entries; }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const Entry& e : _entries)
      out.push_back(e.msg);
    return out;
  }
  // How many messages start with `prefix`.
  int count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(_entries.begin(), _entries.end(), [&](const Entry& e) {
      return e.msg.compare(0, prefix.size(), prefix) == 0;
    }));
  }

 protected:
  void log(int level, const char* msg) override { _entries.push_back({level, msg}); }

 private:
  VerbosityGuard _verbosity;
  XmlRpc::XmlRpcLogHandler* _saved;
  std::vector<Entry> _entries;
};

// Records every error message; the previous error handler comes back on scope exit.
class ErrorCapture : XmlRpc::XmlRpcErrorHandler {
 public:
  ErrorCapture() : _saved(getErrorHandler()) { setErrorHandler(this); }
  ~ErrorCapture() { setErrorHandler(_saved); }
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  const std::vector<std::string>& messages() const { return _messages; }

 protected:
  void error(const char* msg) override { _messages.emplace_back(msg); }

 private:
  XmlRpc::XmlRpcErrorHandler* _saved;
  std::vector<std::string> _messages;
};

// Sends standard output (1) or standard error (2) into a temporary file while in scope.
class StdStreamCapture {
 public:
  explicit StdStreamCapture(int streamFd) : _streamFd(streamFd) {
    flushAll();
    _file = std::tmpfile();
    if (_file == nullptr) throwErrno("tmpfile");
    _saved.reset(::dup(streamFd));
    if (!_saved || ::dup2(::fileno(_file), streamFd) == -1) {
      int err = errno;
      std::fclose(_file);
      errno = err;
      throwErrno("dup2");
    }
  }
  ~StdStreamCapture() {
    flushAll();
    ::dup2(_saved.get(), _streamFd);
    std::fclose(_file);
  }
  StdStreamCapture(const StdStreamCapture&) = delete;
  StdStreamCapture& operator=(const StdStreamCapture&) = delete;

  // Everything written to the stream so far.
  std::string text() const {
    flushAll();
    int fd = ::fileno(_file);
    struct stat st;
    if (::fstat(fd, &st) != 0) throwErrno("fstat");
    std::string out(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = ::pread(fd, out.data(), out.size(), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }

 private:
  static void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
  }

  int _streamFd;
  std::FILE* _file = nullptr;
  UniqueFd _saved;
};

// Seconds since construction on a monotonic clock.
class Stopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
  }

 private:
  std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
};

// A child process, killed and reaped on scope exit.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : _pid(pid) {}
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True until the child has ended; an ended child is reaped here.
  bool running() {
    if (_pid <= 0) return false;
    if (::waitpid(_pid, nullptr, WNOHANG) == 0) return true;
    _pid = -1;
    return false;
  }

  // Kills the child and reaps it, giving up after the wait limit.
  void stop() {
    if (_pid <= 0) return;
    ::kill(_pid, SIGKILL);
    Stopwatch waited;
    while (::waitpid(_pid, nullptr, WNOHANG) == 0 && waited.seconds() * 1000 < WAIT_LIMIT_MS)
      ::usleep(1000);
    _pid = -1;
  }

 private:
  pid_t _pid;
};

}  // namespace corvane::test

#endif
