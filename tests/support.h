// What the tests share: descriptor owners and loopback sockets, a capture of
// log and error lines, and a scripted HTTP server on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "XmlRpc.h"

namespace corvane::test {

// Every wait of a test ends by this bound, so that a fault fails a test instead of hanging it.
constexpr int WAIT_MS = 5000;

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept { return reset(std::exchange(o.fd, -1)), *this; }
  ~Fd() { reset(); }
  void reset(int f = -1) {
    if (fd >= 0) ::close(fd);
    fd = f;
  }
};

inline short waitFor(int fd, short events, int ms = WAIT_MS) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) > 0 ? p.revents : 0;
}

inline sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

inline int localPort(int fd, bool peer = false) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  (peer ? ::getpeername : ::getsockname)(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 on a free port; listening unless `listens` is false,
// and then it holds the port so that connections to it are refused.
inline Fd bound(int* port, bool listens = true) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback(0);
  ::bind(fd.fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  if (listens) ::listen(fd.fd, 16);
  *port = localPort(fd.fd);
  return fd;
}

inline Fd acceptFrom(int listener) {
  return Fd(waitFor(listener, POLLIN) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1);
}

inline Fd connectTo(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback(port);
  ::connect(fd.fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return fd;
}

// Closes `fd` so that the peer sees a reset rather than an end of file.
inline void resetConnection(Fd& fd) {
  linger abort{1, 0};
  ::setsockopt(fd.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  fd.reset();
}

inline std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

// Waits until the peer of the client's socket `fd` has reset the connection.
inline bool waitUntilReset(int fd) {
  tcp_info info{};
  socklen_t len = sizeof(info);
  for (int ms = 0; ms < WAIT_MS; ++ms, ::usleep(1000))
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE)
      return true;
  return false;
}

// While it lives, every log line up to `verbosity` and every error line is recorded
// (not printed); `onLog` and `onError` then run on the thread that reported.
class Capture : XmlRpc::XmlRpcLogHandler, XmlRpc::XmlRpcErrorHandler {
 public:
  explicit Capture(int verbosity = 5) : _verbosity(XmlRpc::getVerbosity()) {
    XmlRpc::setVerbosity(verbosity);
    setLogHandler(this);
    setErrorHandler(this);
  }
  ~Capture() {
    XmlRpc::setVerbosity(_verbosity);
    setLogHandler(nullptr);
    setErrorHandler(nullptr);
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : logs)
      n += l.second.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  // The descriptor of each connection the client made, in order.
  std::vector<int> fds() const {
    std::vector<int> out;
    for (const auto& l : logs)
      if (l.second.rfind("XmlRpcClient::doConnect: fd ", 0) == 0)
        out.push_back(std::atoi(&l.second[28]));
    return out;
  }

  std::vector<std::pair<int, std::string>> logs;
  std::vector<std::string> errors;
  std::function<void(const char*)> onLog, onError;
  // Bytes the client read in read loops that have ended, and calls that ended.
  std::atomic<long> settled{0};
  std::atomic<int> ended{0};

 private:
  void log(int level, const char* msg) override {
    logs.emplace_back(level, msg);
    const std::string text = msg;
    if (text.rfind("XmlRpcSocket::nbRead: read/recv returned ", 0) == 0) {
      const long n = std::atol(&text[41]);
      _reading += n > 0 ? n : 0;
      if (n <= 0) settled += std::exchange(_reading, 0);
    }
    if (text.rfind("XmlRpcClient::readResponse (read", 0) == 0) ++ended;
    if (onLog) onLog(msg);
  }
  void error(const char* msg) override {
    errors.emplace_back(msg);
    ++ended;
    if (onError) onError(msg);
  }
  int _verbosity;
  long _reading = 0;
};

// What a scripted connection does once the client has read a reply.
enum class Then {
  Keep,         // stays open
  Close,        // closed
  CloseEarly,   // closed, the end of file in the segment of the reply's last piece
  Reset,        // reset
  ResetUnread,  // reset as soon as the client's socket holds the last piece
  Urgent,       // stays open with a byte of urgent data: an exceptional condition
};

// One request and its reply. Each piece goes out only once the client has read
// all before it (or the call ended), so each arrives in a read of its own.
struct Exchange {
  std::vector<std::string> reply;
  Then then = Then::Keep;
  int delayMs = 0;  // before each piece
};
using Connection = std::vector<Exchange>;

// `text` in pieces of `size` bytes.
inline std::vector<std::string> pieces(const std::string& text, size_t size = 1) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size(); at += size)
    out.push_back(text.substr(at, size));
  return out;
}

// A call without a time limit that never returns ends the test process (SIGALRM).
constexpr unsigned HANG_LIMIT_S = 20;

// Serves its scripted connections one after the other, in a thread, to a client
// in this process; records the requests. It is also the capture of log and error lines.
class ScriptedServer : public Capture {
 public:
  explicit ScriptedServer(std::vector<Connection> script)
      : _script(std::move(script)), _listener(bound(&_port)), _thread([this] { run(); }) {
    ::alarm(HANG_LIMIT_S);
  }
  ~ScriptedServer() {
    _stop = true;
    finish();
    ::alarm(0);
  }
  int port() const { return _port; }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _requests;
  }
  // Waits for the script to end.
  void finish() {
    if (_thread.joinable()) _thread.join();
  }
  std::atomic<int> accepted{0}, closedByClient{0};

 private:
  bool wait(const std::function<bool()>& done) const {
    for (int us = 0; us < WAIT_MS * 1000 && !_stop; us += 200, ::usleep(200))
      if (done()) return true;
    return false;
  }
  bool readRequest(int fd) {
    std::string request;
    size_t expected = std::string::npos;
    char buf[65536];
    while (request.size() < expected) {
      if (!wait([&] { return waitFor(fd, POLLIN, 0) != 0; })) return false;
      ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) return false;
      request.append(buf, static_cast<size_t>(n));
      size_t end = request.find("\r\n\r\n"), field = request.find("Content-length: ");
      if (end != std::string::npos)
        expected = end + 4 + std::strtoul(&request[field + 16], nullptr, 10);
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _requests.push_back(request);
    return true;
  }
  void serve(Fd& fd, const Exchange& x) {
    const long endedBefore = ended;
    long sent = settled;
    int on = 1;
    ::setsockopt(fd.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    for (size_t i = 0; i < x.reply.size(); ++i) {
      const bool last = i + 1 == x.reply.size();
      if (last && x.then == Then::CloseEarly)
        ::setsockopt(fd.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
      std::this_thread::sleep_for(std::chrono::milliseconds(x.delayMs));
      if (::send(fd.fd, x.reply[i].data(), x.reply[i].size(), MSG_NOSIGNAL) < 0) return;
      sent += static_cast<long>(x.reply[i].size());
      if (last && x.then == Then::CloseEarly) ::shutdown(fd.fd, SHUT_WR);
      if (last && x.then == Then::ResetUnread) {
        int unacknowledged = 0;
        wait([&] { return ::ioctl(fd.fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0; });
      } else {
        wait([&] { return settled >= sent || ended > endedBefore; });
      }
    }
    if (x.then == Then::Urgent) ::send(fd.fd, "!", 1, MSG_OOB | MSG_NOSIGNAL);
    if (x.then == Then::Reset || x.then == Then::ResetUnread) resetConnection(fd);
    if (x.then != Then::Keep && x.then != Then::Urgent) fd.reset();
  }
  void run() {
    for (const Connection& connection : _script) {
      if (!wait([&] { return waitFor(_listener.fd, POLLIN, 0) != 0; })) return;
      Fd fd = acceptFrom(_listener.fd);
      ++accepted;
      for (const Exchange& x : connection) {
        if (fd.fd < 0 || !readRequest(fd.fd)) break;
        serve(fd, x);
      }
      if (fd.fd >= 0 && wait([&] { return waitFor(fd.fd, POLLIN, 0) != 0; }) &&
          drain(fd.fd).empty())
        ++closedByClient;
    }
    _listener.reset();  // a connection the script does not expect is refused, not left unanswered
  }

  const std::vector<Connection> _script;
  int _port = 0;
  Fd _listener;
  mutable std::mutex _mutex;
  std::vector<std::string> _requests;
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

inline const std::string BODY =
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>7</i4></value>"
    "</param></params></methodResponse>\r\n";
inline const std::string OK_HEAD = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-length: ";

inline std::string okReply(const std::string& body = BODY) {
  return OK_HEAD + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace corvane::test
