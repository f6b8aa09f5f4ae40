// A scripted HTTP server on 127.0.0.1 for the client tests, with the replies
// and error lines those tests share.
#ifndef CORVANE_TESTS_SCRIPTED_SERVER_H
#define CORVANE_TESTS_SCRIPTED_SERVER_H

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "XmlRpc.h"
#include "test_support.h"

namespace corvane::test {

inline const std::string BODY =
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>7</i4></value>"
    "</param></params></methodResponse>\r\n";
inline const std::string ZERO_LENGTH = "HTTP/1.1 200 OK\r\nContent-length: 0\r\n\r\n" + BODY;
inline const std::string OK_HEAD = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-length: ";

// `head`, the length of `body`, `tail`, then `body`.
inline std::string withLength(const std::string& head, const std::string& body,
                              const std::string& tail = "\r\n\r\n") {
  return head + std::to_string(body.size()) + tail + body;
}

inline std::string okReply(const std::string& body = BODY) {
  return withLength(OK_HEAD, body);
}

inline bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Waits until `fd` is readable (or closed), `stop` is set, or the wait limit passes.
inline bool waitReadable(int fd, const std::atomic<bool>& stop) {
  for (Stopwatch watch; !stop && watch.seconds() * 1000 < WAIT_LIMIT_MS;)
    if (waitFor(fd, POLLIN, 20) != 0) return true;
  return false;
}

// Reads one HTTP request, its header and then Content-length body bytes;
// false when the peer closes first or the wait ends.
inline bool readHttpRequest(int fd, std::string& request, const std::atomic<bool>& stop) {
  size_t expected = std::string::npos;
  char buf[4096];
  while (request.size() < expected) {
    if (!waitReadable(fd, stop)) return false;
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    request.append(buf, static_cast<size_t>(n));
    size_t end = request.find("\r\n\r\n");
    if (expected == std::string::npos && end != std::string::npos) {
      size_t field = request.find("Content-length: ");
      expected = end + 4 + (field < end ? std::strtoul(&request[field + 16], nullptr, 10) : 0);
    }
  }
  return true;
}

// What a scripted connection does once the client has read a reply.
enum class Then {
  Keep,         // stays open; after the script's last reply, until the client closes it
  Close,        // closed (at once when there is no reply)
  CloseEarly,   // the end of file arrives in the same segment as the reply's last piece
  Reset,        // reset
  ResetUnread,  // reset once the client's socket holds the last piece, read or not
  Urgent,       // stays open with one byte of urgent data: an exceptional condition at the client
};

// One request and the reply to it. Each piece is sent only once the client has
// read everything before it, so that every piece arrives in a read of its own.
struct Exchange {
  std::vector<std::string> reply;
  Then then = Then::Keep;
};
using Connection = std::vector<Exchange>;

// `text` in pieces of 4 to 16 KB (or `size` bytes), but one byte at a time
// within 32 bytes of each offset in `hot`, so that the reads split whatever lies there.
inline std::vector<std::string> trickle(const std::string& text,
                                        const std::vector<size_t>& hot = {}, size_t size = 0) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size(); at += out.back().size()) {
    size_t n = size ? size : 4096 + (out.size() * 7919) % 12289;
    for (size_t h : hot) {
      if (at + 32 >= h && at < h + 32)
        n = 1;
      else if (at + 32 < h && at + n + 32 > h)
        n = h - 32 - at;
    }
    out.push_back(text.substr(at, n));
  }
  return out;
}

inline std::vector<Connection> single(std::vector<std::string> pieces, Then then = Then::Keep) {
  return {Connection{Exchange{std::move(pieces), then}}};
}

// Bytes sent on `fd` that the peer's kernel has not acknowledged yet.
inline int unacknowledged(int fd) {
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

// Waits until the connection of the client's `fd` has been reset by its peer.
inline bool waitUntilReset(int fd) {
  tcp_info info{};
  socklen_t len = sizeof(info);
  for (Stopwatch watch; watch.seconds() < 5; ::usleep(1000))
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE)
      return true;
  return false;
}

// A call has no time limit: a client that never returns from one ends the
// test process (SIGALRM) instead of hanging it.
inline constexpr unsigned HANG_LIMIT_S = 30;

// A server on 127.0.0.1 that serves its scripted connections one after the
// other in a thread of its own. While it exists it is also the log handler, at
// verbosity 5 (the client's read results pace the pieces), and the error handler.
class ScriptedServer final : public LogCapture, public ErrorCapture {
 public:
  explicit ScriptedServer(std::vector<Connection> script)
      : LogCapture(5),
        _script(std::move(script)),
        _listener(std::make_unique<LoopbackListener>()),
        _port(_listener->port()) {
    _thread = std::thread([this] { run(); });
    ::alarm(HANG_LIMIT_S);
  }
  ~ScriptedServer() {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      _stop = true;
    }
    _progress.notify_all();
    finish();
    ::alarm(0);
  }

  int port() const { return _port; }
  // Waits for the script to end.
  void finish() {
    if (_thread.joinable()) _thread.join();
  }
  std::vector<std::string> requests() const { return locked(_requests); }
  int accepted() const { return locked(_accepted); }
  int closedByClient() const { return locked(_closedByClient); }

  const std::vector<std::string>& errors() const { return ErrorCapture::messages(); }
  // The descriptor of every connection the client made, in order.
  std::vector<int> connectFds() const {
    std::vector<int> fds;
    for (const Entry& e : entries())
      if (int fd; std::sscanf(e.msg.c_str(), "XmlRpcClient::doConnect: fd %d.", &fd) == 1)
        fds.push_back(fd);
    return fds;
  }
  ::testing::AssertionResult loggedInOrder(const std::vector<Entry>& expected) const {
    size_t next = 0;
    for (const Entry& e : entries())
      if (next < expected.size() && e.level == expected[next].level && e.msg == expected[next].msg)
        ++next;
    if (next == expected.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not logged in order: level " << expected[next].level
                                         << " \"" << expected[next].msg << "\"";
  }

  // Called on the client's thread after each line is recorded.
  std::function<void(const char*)> onLog;
  std::function<void(const char*)> onError;

 private:
  void log(int level, const char* msg) override {
    LogCapture::log(level, msg);
    int n;
    if (std::sscanf(msg, "XmlRpcSocket::nbRead: read/recv returned %d.", &n) == 1) {
      std::lock_guard<std::mutex> lock(_mutex);
      // A read loop ends when nothing is left to read: what it read is settled.
      _reading += n > 0 ? n : 0;
      if (n <= 0) _settled += std::exchange(_reading, 0);
      _progress.notify_all();
    } else if (startsWith(msg, "XmlRpcClient::readResponse (read")) {
      endCall();
    }
    if (onLog) onLog(msg);
  }
  void error(const char* msg) override {
    ErrorCapture::error(msg);
    endCall();
    if (onError) onError(msg);
  }
  // The client reads no more of this reply: the rest of it is not sent.
  void endCall() {
    std::lock_guard<std::mutex> lock(_mutex);
    _callEnded = true;
    _progress.notify_all();
  }
  template <typename T>
  T locked(const T& member) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return member;
  }

  void run() {
    for (const Connection& connection : _script)
      if (!serve(connection)) break;
    // A connection the script does not expect is refused rather than left unanswered.
    _listener.reset();
  }

  bool serve(const Connection& connection) {
    if (!waitReadable(_listener->fd(), _stop)) return false;
    UniqueFd fd(::accept(_listener->fd(), nullptr, nullptr));
    if (!fd) return false;
    long sent;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      ++_accepted;
      sent = _settled;
    }
    for (const Exchange& exchange : connection) {
      std::string request;
      if (!readHttpRequest(fd.get(), request, _stop)) return true;
      {
        std::lock_guard<std::mutex> lock(_mutex);
        _requests.push_back(request);
        _callEnded = false;
      }
      for (size_t i = 0; i < exchange.reply.size(); ++i) {
        const bool withEof = i + 1 == exchange.reply.size() && exchange.then == Then::CloseEarly;
        int on = 1;
        // Corked, the last piece waits in the socket until the shutdown sends it with the FIN.
        if (withEof) ::setsockopt(fd.get(), IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
        const std::string& piece = exchange.reply[i];
        if (::send(fd.get(), piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return true;
        sent += static_cast<long>(piece.size());
        if (withEof) {
          ::shutdown(fd.get(), SHUT_WR);
          return true;
        }
        if (exchange.then == Then::ResetUnread && i + 1 == exchange.reply.size()) {
          for (Stopwatch watch; unacknowledged(fd.get()) > 0 && watch.seconds() < 5;)
            ::usleep(1000);
          break;
        }
        std::unique_lock<std::mutex> lock(_mutex);
        _progress.wait_for(lock, std::chrono::milliseconds(WAIT_LIMIT_MS),
                           [&] { return _settled >= sent || _callEnded || _stop; });
        if (_callEnded) break;
      }
      if (exchange.then == Then::Urgent) ::send(fd.get(), "!", 1, MSG_OOB | MSG_NOSIGNAL);
      if (exchange.then == Then::Reset || exchange.then == Then::ResetUnread) resetConnection(fd);
      if (exchange.then != Then::Keep && exchange.then != Then::Urgent) return true;
    }
    if (!waitReadable(fd.get(), _stop)) return true;
    std::string extra = drain(fd.get());
    std::lock_guard<std::mutex> lock(_mutex);
    if (extra.empty())
      ++_closedByClient;
    else
      _requests.push_back(extra);
    return true;
  }

  const std::vector<Connection> _script;
  std::unique_ptr<LoopbackListener> _listener;
  const int _port;

  mutable std::mutex _mutex;
  std::condition_variable _progress;
  std::atomic<bool> _stop{false};
  long _reading = 0;
  long _settled = 0;
  bool _callEnded = false;
  std::vector<std::string> _requests;
  int _accepted = 0;
  int _closedByClient = 0;

  std::thread _thread;
};

inline const std::string NO_LENGTH = "Error XmlRpcClient::readHeader: No Content-length specified";
inline const std::string EOF_IN_HEADER =
    "Error in XmlRpcClient::readHeader: EOF while reading header";
inline const std::string EOF_IN_BODY =
    "Error in XmlRpcClient::readResponse: EOF while reading response";
inline const std::string RESET = "(error " + std::to_string(ECONNRESET) + ")";
inline const std::string RESET_IN_HEADER =
    "Error in XmlRpcClient::readHeader: error while reading header " + RESET + " on fd {fd}.";
inline const std::string RESET_IN_BODY =
    "Error in XmlRpcClient::readResponse: read error " + RESET + ".";

inline std::string invalidLength(int length) {
  return "Error in XmlRpcClient::readHeader: Invalid Content-length specified (" +
         std::to_string(length) + ").";
}

// `line`, with {fd} replaced by `fd`, as the one error expected; none when `line` is empty.
inline std::vector<std::string> errorsFor(std::string line, int fd = -1) {
  if (line.empty()) return {};
  if (size_t at = line.find("{fd}"); at != std::string::npos)
    line.replace(at, 4, std::to_string(fd));
  return {line};
}

inline std::string parseError(const std::string& what, const std::string& body) {
  return "Error in XmlRpcClient::parseResponse: Invalid response" + what + ". Response:\n" + body;
}

// One call of a new client to a server that sends `pieces`: it returns `expected`,
// or fails with the one error line `error` (with {fd} the connection) when that is not empty.
inline void expectOneCall(std::vector<std::string> pieces, Then then, const std::string& error,
                          const XmlRpc::XmlRpcValue& expected = XmlRpc::XmlRpcValue(7)) {
  ScriptedServer server(single(std::move(pieces), then));
  XmlRpc::XmlRpcClient client("127.0.0.1", server.port());
  XmlRpc::XmlRpcValue result(1);
  EXPECT_EQ(client.execute("Echo", XmlRpc::XmlRpcValue(1), result), error.empty());
  EXPECT_FALSE(client.isFault());
  EXPECT_TRUE(result == (error.empty() ? expected : XmlRpc::XmlRpcValue()));
  EXPECT_EQ(server.errors(), errorsFor(error, server.connectFds().at(0)));
  EXPECT_EQ(server.accepted(), 1);
}

}  // namespace corvane::test

#endif
