// What the tests share: descriptors and loopback sockets, a capture of log and
// error lines, and a scripted HTTP server on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "XmlRpc.h"

namespace corvane::test {

// Every wait of a test ends by this bound, so that a fault fails a test instead of hanging it.
constexpr int WAIT_MS = 5000;

struct Fd {  // owns a descriptor
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
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

// The port of `fd`'s own address (or its peer's), and a socket bound to or connected to a port.
inline int portOf(int fd, bool peer = false) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  (peer ? ::getpeername : ::getsockname)(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}
inline Fd loopback(int port, bool connects) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  (connects ? ::connect : ::bind)(fd.fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return fd;
}
// Bound to a free port of 127.0.0.1; a socket that does not listen refuses connections to it.
inline Fd bound(int* port, bool listens = true) {
  Fd fd = loopback(0, false);
  if (listens) ::listen(fd.fd, 16);
  *port = portOf(fd.fd);
  return fd;
}
inline Fd acceptFrom(int listener) {
  return Fd(waitFor(listener, POLLIN) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1);
}
// Closes `fd` so that its peer sees a reset rather than an end of file.
inline void resetConnection(Fd& fd) {
  linger abort{1, 0};
  ::setsockopt(fd.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  fd.reset();
}
inline std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
    out.append(buf, n);
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

// While it lives, log lines up to `verbosity` and every error line are recorded, not printed;
// `onLog` and `onError` then run on the reporting thread.
class Capture : XmlRpc::XmlRpcLogHandler, XmlRpc::XmlRpcErrorHandler {
 public:
  explicit Capture(int verbosity = 5) : _saved(XmlRpc::getVerbosity()) {
    XmlRpc::setVerbosity(verbosity), setLogHandler(this), setErrorHandler(this);
  }
  ~Capture() { XmlRpc::setVerbosity(_saved), setLogHandler(nullptr), setErrorHandler(nullptr); }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : logs)
      n += l.second.rfind(prefix, 0) == 0;
    return n;
  }
  // The descriptor of each connection the client made, in order.
  std::vector<int> fds() const {
    std::vector<int> out;
    for (const auto& l : logs)
      if (l.second.rfind("XmlRpcClient::doConnect: fd ", 0) == 0)
        out.push_back(std::stoi(&l.second[28]));
    return out;
  }

  std::vector<std::pair<int, std::string>> logs;
  std::vector<std::string> errors;
  std::function<void(const char*)> onLog, onError;
  std::atomic<long> settled{0};  // bytes the client read in read loops that have ended
  std::atomic<int> ended{0};     // calls that ended: an error line or a complete response

 private:
  void log(int level, const char* msg) override {
    logs.emplace_back(level, msg);
    if (long n; std::sscanf(msg, "XmlRpcSocket::nbRead: read/recv returned %ld.", &n) == 1)
      n > 0 ? void(_reading += n) : void(settled += std::exchange(_reading, 0));
    ended += logs.back().second.rfind("XmlRpcClient::readResponse (read", 0) == 0;
    if (onLog) onLog(msg);
  }
  void error(const char* msg) override {
    errors.emplace_back(msg), ++ended;
    if (onError) onError(msg);
  }
  int _saved;
  long _reading = 0;
};

// What a scripted connection does once the client has read a reply: stays open; is closed;
// is closed with the end of file in the segment of the reply's last piece; is reset; or is
// reset as soon as the client's socket holds the last piece, read or not.
enum class Then { Keep, Close, CloseEarly, Reset, ResetUnread };

// One request and its reply. Each piece goes out once the client has read all before it (or
// the call ended), so that each arrives in a read of its own.
struct Exchange {
  std::vector<std::string> reply;
  Then then = Then::Keep;
  int delayMs = 0;  // before each piece
};
using Connection = std::vector<Exchange>;

inline std::vector<std::string> pieces(const std::string& text, size_t size = 1) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size(); at += size)
    out.push_back(text.substr(at, size));
  return out;
}

// Serves its connections one after the other, in a thread, to a client in this process, and
// records the requests. It is the capture of that client's log and error lines too.
class ScriptedServer : public Capture {
 public:
  explicit ScriptedServer(std::vector<Connection> script)
      : _script(std::move(script)), _listener(bound(&_port)), _thread([this] { run(); }) {
    ::alarm(20);  // a call with no time limit that never returns ends the test process
  }
  ~ScriptedServer() { _stop = true, finish(), ::alarm(0); }
  int port() const { return _port; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _requests;
  }
  void finish() {  // waits for the script's end
    if (_thread.joinable()) _thread.join();
  }
  std::atomic<int> accepted{0}, closedByClient{0};

 private:
  bool wait(const std::function<bool()>& done) const {
    for (int us = 0; us < WAIT_MS * 1000 && !_stop; us += 100, ::usleep(100))
      if (done()) return true;
    return false;
  }
  bool readRequest(int fd) {
    std::string request;
    for (size_t end = std::string::npos;
         end == std::string::npos ||
         request.size() < end + 4 + std::stoul(&request[request.find("Content-length: ") + 16]);
         end = request.find("\r\n\r\n")) {
      if (!wait([&] { return waitFor(fd, POLLIN, 0) != 0; })) return false;
      std::string more = drain(fd);
      if (more.empty()) return false;
      request += more;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    return _requests.push_back(request), true;
  }
  void serve(Fd& fd, const Exchange& x) {
    const int endedBefore = ended, on = 1;
    long sent = settled;
    ::setsockopt(fd.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    for (const std::string& piece : x.reply) {
      const bool last = &piece == &x.reply.back();
      if (last && x.then == Then::CloseEarly)
        ::setsockopt(fd.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
      ::usleep(x.delayMs * 1000);
      if (::send(fd.fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;
      sent += piece.size();
      if (last && x.then == Then::CloseEarly) ::shutdown(fd.fd, SHUT_WR);
      int unacknowledged = 0;
      wait([&] {
        return last && x.then == Then::ResetUnread
                   ? ::ioctl(fd.fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0
                   : settled >= sent || ended > endedBefore;
      });
    }
    if (x.then == Then::Reset || x.then == Then::ResetUnread) resetConnection(fd);
    if (x.then != Then::Keep) fd.reset();
  }
  void run() {
    for (const Connection& connection : _script) {
      if (!wait([&] { return waitFor(_listener.fd, POLLIN, 0) != 0; })) return;
      Fd fd = acceptFrom(_listener.fd);
      ++accepted;
      for (const Exchange& x : connection)
        if (fd.fd >= 0 && readRequest(fd.fd)) serve(fd, x);
      if (fd.fd >= 0 && wait([&] { return waitFor(fd.fd, POLLIN, 0) != 0; }) &&
          drain(fd.fd).empty())
        ++closedByClient;
    }
    _listener.reset();  // a connection the script does not expect is refused, not left waiting
  }

  const std::vector<Connection> _script;
  int _port = 0;
  Fd _listener;
  std::mutex _mutex;
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
