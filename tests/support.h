// What the tests share: loopback sockets, a capture of log and error lines, and a scripted
// HTTP server on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "XmlRpc.h"

namespace corvane::test {

constexpr int WAIT_MS = 5000;  // every wait ends by then: a fault fails a test, never hangs it

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
// A socket on a free port of 127.0.0.1 or ::1 (none if it cannot bind); one not `listens` refuses.
inline Fd bound(int* port, int family = AF_INET, bool listens = true) {
  Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 a{AF_INET6, 0, 0, in6addr_loopback, 0};  // IPv4's port is at the same place
  const sockaddr_in ipv4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = family == AF_INET ? sizeof(ipv4) : sizeof(a);
  if (family == AF_INET) std::memcpy(&a, &ipv4, len);
  if (::bind(fd.fd, reinterpret_cast<sockaddr*>(&a), len) != 0) fd.reset();
  ::getsockname(fd.fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (listens) ::listen(fd.fd, 16);
  *port = ntohs(a.sin6_port);
  return fd;
}
// A helper process, such as a server, that prints one line on standard output once it is
// ready; ended, bounded, with its test.
struct Process {
  explicit Process(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    _out.reset(out[0]);
    std::vector<char*> argv(args.size() + 1);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return a.data(); });
    if ((pid = ::fork()) == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], 1);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    for (char c;
         line.find('\n') == line.npos && waitFor(_out.fd, POLLIN) && ::read(_out.fd, &c, 1) == 1;)
      line += c;
  }
  ~Process() {
    ::kill(pid, SIGKILL);  // a killed process is reaped at once
    ::waitpid(pid, nullptr, 0);
  }
  int port() const { return std::atoi(line.c_str()); }

  pid_t pid = -1;
  std::string line;  // the first line it printed

 private:
  Fd _out;  // kept open, so that a later line does not kill it with SIGPIPE
};

inline std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
    out.append(buf, n);
  return out;
}

// While it lives, log lines up to `verbosity` and all error lines are recorded, not printed.
class Capture : XmlRpc::XmlRpcLogHandler, XmlRpc::XmlRpcErrorHandler {
 public:
  explicit Capture(int verbosity = 5) : _saved(XmlRpc::getVerbosity()) {
    XmlRpc::setVerbosity(verbosity);
    setLogHandler(this);
    setErrorHandler(this);
  }
  ~Capture() {
    XmlRpc::setVerbosity(_saved);
    setLogHandler(nullptr);
    setErrorHandler(nullptr);
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : logs)
      n += line.rfind(prefix, 0) == 0;
    return n;
  }

  std::vector<std::string> logs, errors;
  std::atomic<long> settled{0};  // bytes the client read in read loops that have ended
  std::atomic<int> ended{0};     // calls that ended: an error line or a complete response

 private:
  void log(int, const char* msg) override {
    logs.emplace_back(msg);
    if (long n; std::sscanf(msg, "XmlRpcSocket::nbRead: read/recv returned %ld.", &n) == 1)
      n > 0 ? void(_reading += n) : void(settled += std::exchange(_reading, 0));
    ended += logs.back().rfind("XmlRpcClient::readResponse (read", 0) == 0;
    errno = EINTR;  // a handler may change errno: the stack must not depend on it
  }
  void error(const char* msg) override {
    errors.emplace_back(msg);
    ++ended;
  }
  int _saved;
  long _reading = 0;
};

// What a connection does after a reply: stays open; closes; closes with the end of file in
// the segment of the reply's last piece; resets.
enum class Then { Keep, Close, CloseEarly, Reset };

// A request's reply. Each piece goes out once the client has read all before it (or the call
// ended), so that each arrives in a read of its own.
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

// Serves its connections in turn, in a thread, to a client in this process, and records the
// requests. It is that client's capture of log and error lines too.
class ScriptedServer : public Capture {
 public:
  explicit ScriptedServer(std::vector<Connection> script, int family = AF_INET)
      : _script(std::move(script)), _listener(bound(&_port, family)), _thread([this] { run(); }) {
    ::alarm(20);  // a call without a time limit that never returns ends the test process
  }
  ~ScriptedServer() {
    _stop = true;
    finish();
    ::alarm(0);
  }
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
  bool readable(int fd) const {
    return wait([&] { return waitFor(fd, POLLIN, 0) != 0; });
  }
  bool readRequest(int fd) {
    std::string request, more;
    auto complete = [&] {
      const size_t end = request.find("\r\n\r\n");
      return end != std::string::npos &&
             request.size() >= end + 4 + std::stoul(request.substr(request.find("length: ") + 8));
    };
    while (!complete()) {
      if (!readable(fd) || (more = drain(fd)).empty()) return false;
      request += more;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _requests.push_back(request);
    return true;
  }
  void serve(Fd& fd, const Exchange& x) {
    const int endedBefore = ended, on = 1;
    long sent = settled;
    ::setsockopt(fd.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    for (const std::string& piece : x.reply) {
      const bool last = &piece == &x.reply.back(), early = last && x.then == Then::CloseEarly;
      if (early) ::setsockopt(fd.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
      ::usleep(x.delayMs * 1000);
      if (::send(fd.fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;
      if (early) ::shutdown(fd.fd, SHUT_WR);
      sent += piece.size();
      wait([&] { return settled >= sent || ended > endedBefore; });
    }
    if (x.then == Then::Reset) {
      const linger abort{1, 0};  // the peer sees a reset rather than an end of file
      ::setsockopt(fd.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
    if (x.then != Then::Keep) fd.reset();
  }
  void run() {
    for (const Connection& connection : _script) {
      if (!readable(_listener.fd)) return;
      Fd fd(::accept4(_listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
      ++accepted;
      for (const Exchange& x : connection)
        if (fd.fd >= 0 && readRequest(fd.fd)) serve(fd, x);
      if (fd.fd >= 0 && readable(fd.fd) && drain(fd.fd).empty()) ++closedByClient;
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

inline std::vector<std::string> lines(const std::string& line) {
  return line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line};
}

inline const std::string BODY =
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>7</i4></value>"
    "</param></params></methodResponse>\r\n";
inline const std::string OK_HEAD = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-length: ";
inline std::string okReply(const std::string& body = BODY) {
  return OK_HEAD + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace corvane::test
