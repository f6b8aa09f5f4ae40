// Tests of the client call engine against scripted servers on 127.0.0.1: the
// bytes of each request, the reading of every kind of response, the kept
// connection and its one retry, and what each path reports.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "XmlRpcClient.h"
#include "XmlRpcSocket.h"
#include "XmlRpcValue.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

const std::string BODY =
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>7</i4></value>"
    "</param></params></methodResponse>\r\n";
const std::string ZERO_LENGTH = "HTTP/1.1 200 OK\r\nContent-length: 0\r\n\r\n" + BODY;
const std::string OK_HEAD = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-length: ";

// `head`, the length of `body`, `tail`, then `body`.
std::string withLength(const std::string& head, const std::string& body,
                       const std::string& tail = "\r\n\r\n") {
  return head + std::to_string(body.size()) + tail + body;
}

std::string okReply(const std::string& body = BODY) {
  return withLength(OK_HEAD, body);
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Waits until `fd` is readable (or closed), `stop` is set, or the wait limit passes.
bool waitReadable(int fd, const std::atomic<bool>& stop) {
  for (Stopwatch watch; !stop && watch.seconds() * 1000 < WAIT_LIMIT_MS;)
    if (waitFor(fd, POLLIN, 20) != 0) return true;
  return false;
}

// Reads one HTTP request, its header and then Content-length body bytes;
// false when the peer closes first or the wait ends.
bool readHttpRequest(int fd, std::string& request, const std::atomic<bool>& stop) {
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
  Keep,        // stays open; after the script's last reply, until the client closes it
  Close,       // closed (at once when there is no reply)
  CloseEarly,  // the end of file arrives in the same segment as the reply's last piece
  Reset,       // reset
  Urgent,      // stays open with one byte of urgent data: an exceptional condition at the client
};

// One request and the reply to it. Each piece is sent only once the client has
// read everything before it, so that every piece arrives in a read of its own.
struct Exchange {
  std::vector<std::string> reply;
  Then then = Then::Keep;
};
using Connection = std::vector<Exchange>;

std::vector<Connection> single(std::vector<std::string> pieces, Then then = Then::Keep) {
  return {Connection{Exchange{std::move(pieces), then}}};
}

// A call has no time limit: a client that never returns from one ends the
// test process (SIGALRM) instead of hanging it.
constexpr unsigned HANG_LIMIT_S = 30;

// A server on 127.0.0.1 that serves its scripted connections one after the
// other in a thread of its own. While it exists it is also the log handler, at
// verbosity 5 (the client's read results pace the pieces), and the error handler.
class ScriptedServer final : XmlRpcLogHandler, XmlRpcErrorHandler {
 public:
  using Entry = LogCapture::Entry;

  explicit ScriptedServer(std::vector<Connection> script)
      : _script(std::move(script)),
        _listener(std::make_unique<LoopbackListener>()),
        _port(_listener->port()),
        _verbosity(5),
        _savedLog(getLogHandler()),
        _savedError(getErrorHandler()) {
    setLogHandler(this);
    setErrorHandler(this);
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
    setLogHandler(_savedLog);
    setErrorHandler(_savedError);
  }

  int port() const { return _port; }
  // Waits for the script to end.
  void finish() {
    if (_thread.joinable()) _thread.join();
  }
  std::vector<std::string> requests() const { return locked(_requests); }
  int accepted() const { return locked(_accepted); }
  int closedByClient() const { return locked(_closedByClient); }

  const std::vector<Entry>& entries() const { return _log; }
  const std::vector<std::string>& errors() const { return _errors; }
  int countLogged(const std::string& prefix) const {
    return static_cast<int>(std::count_if(
        _log.begin(), _log.end(), [&](const Entry& e) { return startsWith(e.msg, prefix); }));
  }
  // The descriptor of every connection the client made, in order.
  std::vector<int> connectFds() const {
    std::vector<int> fds;
    for (const Entry& e : _log)
      if (int fd; std::sscanf(e.msg.c_str(), "XmlRpcClient::doConnect: fd %d.", &fd) == 1)
        fds.push_back(fd);
    return fds;
  }
  ::testing::AssertionResult loggedInOrder(const std::vector<Entry>& expected) const {
    size_t next = 0;
    for (const Entry& e : _log)
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
    _log.push_back({level, msg});
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
    _errors.emplace_back(msg);
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
        std::unique_lock<std::mutex> lock(_mutex);
        _progress.wait_for(lock, std::chrono::milliseconds(WAIT_LIMIT_MS),
                           [&] { return _settled >= sent || _callEnded || _stop; });
        if (_callEnded) break;
      }
      if (exchange.then == Then::Urgent) ::send(fd.get(), "!", 1, MSG_OOB | MSG_NOSIGNAL);
      if (exchange.then == Then::Reset) resetConnection(fd);
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

  VerbosityGuard _verbosity;
  XmlRpcLogHandler* _savedLog;
  XmlRpcErrorHandler* _savedError;
  std::vector<Entry> _log;
  std::vector<std::string> _errors;
  std::thread _thread;
};

const std::string NO_LENGTH = "Error XmlRpcClient::readHeader: No Content-length specified";
const std::string EOF_IN_HEADER = "Error in XmlRpcClient::readHeader: EOF while reading header";
const std::string EOF_IN_BODY = "Error in XmlRpcClient::readResponse: EOF while reading response";

std::string invalidLength(int length) {
  return "Error in XmlRpcClient::readHeader: Invalid Content-length specified (" +
         std::to_string(length) + ").";
}

std::string parseError(const std::string& what, const std::string& body) {
  return "Error in XmlRpcClient::parseResponse: Invalid response" + what + ". Response:\n" + body;
}

// A client with a write step of its own, doing what the step is defined to do.
class OwnWriteClient : public XmlRpcClient {
 public:
  using XmlRpcClient::XmlRpcClient;

 protected:
  bool writeRequest() override {
    if (!XmlRpcSocket::nbWrite(getfd(), _request, &_bytesWritten)) return false;
    if (_bytesWritten == static_cast<int>(_request.size())) {
      _header.clear();
      _response.clear();
      _connectionState = READ_HEADER;
    }
    return true;
  }
};

std::string request(int port, const std::string& uri, const std::string& body) {
  return "POST " + uri +
         " HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: text/xml\r\nContent-length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace

TEST(ClientRequest, WorkedExampleIsSentByteForByte) {
  ScriptedServer server(single({okReply()}));
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue params, result;
  params[0] = "alpha";
  params[1] = "beta";
  ASSERT_TRUE(client.execute("SetBOOT", params, result));
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>SetBOOT</methodName>\r\n<params><param>"
      "<value>alpha</value></param><param><value>beta</value></param></params></methodCall>\r\n";
  EXPECT_EQ(body.size(), 170u);
  EXPECT_EQ(
      server.requests(),
      std::vector<std::string>{"POST /RPC2 HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: "
                               "127.0.0.1:" +
                               std::to_string(server.port()) +
                               "\r\nContent-Type: text/xml\r\nContent-length: 170\r\n\r\n" + body});
  EXPECT_EQ(result, XmlRpcValue(7));
}

TEST(ClientRequest, ParamsBecomeOneParamElementEach) {
  XmlRpcValue emptyArray, withHole;
  emptyArray.setSize(0);
  withHole[1] = 5;
  struct Case {
    const char* uri;
    const char* method;
    XmlRpcValue params;
    std::string paramsXml;
  };
  const Case cases[] = {
      {nullptr, "NoParams", XmlRpcValue(), ""},
      {nullptr, "NotAnArray", XmlRpcValue("a<b"),
       "<params><param><value>a&lt;b</value></param></params>"},
      {nullptr, "EmptyArray", emptyArray, "<params></params>"},
      {nullptr, "Hole", withHole,
       "<params><param></param><param><value><i4>5</i4></value></param></params>"},
      {nullptr, "a<b&c", XmlRpcValue(true),
       "<params><param><value><boolean>1</boolean></value></param></params>"},
      {"/custom/path?x=1", "Custom", XmlRpcValue(-3),
       "<params><param><value><i4>-3</i4></value></param></params>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    ScriptedServer server(single({okReply()}));
    XmlRpcClient client("127.0.0.1", server.port(), c.uri);
    XmlRpcValue result;
    EXPECT_TRUE(client.execute(c.method, c.params, result));
    const std::string body = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>" +
                             std::string(c.method) + "</methodName>\r\n" + c.paramsXml +
                             "</methodCall>\r\n";
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{request(server.port(), c.uri ? c.uri : "/RPC2", body)});
  }
}

// Every reply is sent twice: in one write, and one byte at a time.
TEST(ClientResponse, EachReplyGivesItsOutcomeWhateverTheReadSizes) {
  const std::string n = std::to_string(BODY.size());
  const std::string cut = okReply().substr(0, okReply().size() - 9);
  const std::string spaced =
      "junk <methodResponse>\r\n <params>\n\t<param>\r\n  <value><i4>7</i4></value></param>";
  const std::string notResponse = "<?xml version=\"1.0\"?><methodCall></methodCall>";
  const std::string capitalM = "<MethodResponse><params><param><value>7</value></param>";
  const std::string emptyParams = "<methodResponse><params></params></methodResponse>";
  const std::string noValue = "<methodResponse><params><param><i4>7</i4></param>";
  struct Case {
    const char* name;
    std::string reply;
    Then then;
    std::string error;  // the one error line expected, {fd} the connection; none for a result of 7
  };
  const Case cases[] = {
      {"plain", okReply(), Then::Keep, ""},
      {"lf only", withLength("HTTP/1.1 200 OK\nContent-length: ", BODY, "\n\n"), Then::Keep, ""},
      {"upper case field", withLength("HTTP/1.1 200 OK\r\nCONTENT-LENGTH: ", BODY), Then::Keep, ""},
      {"mixed case field", withLength("HTTP/1.0 200 OK\r\ncontent-Length: ", BODY), Then::Keep, ""},
      {"later of two fields",
       withLength("HTTP/1.1 200 OK\r\nContent-length: 3\r\ncontent-length: ", BODY), Then::Keep,
       ""},
      {"field ending a longer name", withLength("HTTP/1.1 200 OK\r\nX-Content-length: ", BODY),
       Then::Keep, ""},
      {"status 500", withLength("HTTP/1.1 500 Internal Server Error\r\nContent-length: ", BODY),
       Then::Keep, ""},
      {"bytes after the body", okReply() + "<trailing/>", Then::Keep, ""},
      {"text and white space around the tags", okReply(spaced), Then::Keep, ""},
      {"no space after the colon", "HTTP/1.1 200 OK\r\nContent-length:" + n + "\r\n\r\n" + BODY,
       Then::Keep, NO_LENGTH},
      {"no length field", "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + BODY, Then::Keep,
       NO_LENGTH},
      {"zero", ZERO_LENGTH, Then::Keep, invalidLength(0)},
      {"letters", "HTTP/1.1 200 OK\r\nContent-length: ten\r\n\r\n" + BODY, Then::Keep,
       invalidLength(0)},
      {"negative", "HTTP/1.1 200 OK\r\nContent-length: -5\r\n\r\n" + BODY, Then::Keep,
       invalidLength(-5)},
      {"later of two is zero",
       withLength("HTTP/1.1 200 OK\r\nContent-length: ", BODY, "\r\nContent-length: 0\r\n\r\n"),
       Then::Keep, invalidLength(0)},
      {"length beyond the int range is cut to its largest value",
       "HTTP/1.1 200 OK\r\nContent-length: " + std::to_string((1ULL << 32) + BODY.size()) +
           "\r\n\r\n" + BODY,
       Then::Close, EOF_IN_BODY},
      {"end of file in the header", "HTTP/1.1 200 OK\r\nContent-le", Then::Close, EOF_IN_HEADER},
      {"end of file right after the blank line", OK_HEAD + n + "\r\n\r\n", Then::Close,
       EOF_IN_HEADER},
      {"end of file right after a blank line of line feeds",
       "HTTP/1.1 200 OK\nContent-length: " + n + "\n\n", Then::Close, EOF_IN_HEADER},
      {"reset in the header (no retry once bytes came)", "HTTP/1.1 200 OK\r\n", Then::Reset,
       "Error in XmlRpcClient::readHeader: error while reading header (error " +
           std::to_string(ECONNRESET) + ") on fd {fd}."},
      {"end of file in the body", cut, Then::Close, EOF_IN_BODY},
      {"reset in the body", cut, Then::Reset,
       "Error in XmlRpcClient::readResponse: read error (error " + std::to_string(ECONNRESET) +
           ")."},
      {"no methodResponse", okReply(notResponse), Then::Keep,
       parseError(" - no methodResponse", notResponse)},
      {"capitalised methodResponse", okReply(capitalM), Then::Keep,
       parseError(" - no methodResponse", capitalM)},
      {"empty params", okReply(emptyParams), Then::Keep,
       parseError(" - no param or fault tag", emptyParams)},
      {"param without a value", okReply(noValue), Then::Keep, parseError(" value", noValue)},
  };
  for (const Case& c : cases) {
    for (bool byteByByte : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", byte by byte" : ", in one write"));
      const size_t step = byteByByte ? 1 : c.reply.size();
      std::vector<std::string> pieces;
      for (size_t at = 0; at < c.reply.size(); at += step)
        pieces.push_back(c.reply.substr(at, step));
      ScriptedServer server(single(pieces, c.then));
      XmlRpcClient client("127.0.0.1", server.port());
      XmlRpcValue result(1);
      EXPECT_EQ(client.execute("Echo", XmlRpcValue(1), result), c.error.empty());
      EXPECT_FALSE(client.isFault());
      EXPECT_EQ(result, c.error.empty() ? XmlRpcValue(7) : XmlRpcValue());
      std::string error = c.error;
      if (size_t at = error.find("{fd}"); at != std::string::npos)
        error.replace(at, 4, std::to_string(server.connectFds().at(0)));
      EXPECT_EQ(server.errors(),
                error.empty() ? std::vector<std::string>{} : std::vector<std::string>{error});
      EXPECT_EQ(server.accepted(), 1);
    }
  }
}

TEST(ClientResponse, FaultIsACompletedCallHoldingTheFaultValue) {
  const std::string fault =
      "<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>4</int>"
      "</value></member><member><name>faultString</name><value><string>Too many</string></value>"
      "</member></struct></value></fault></methodResponse>";
  ScriptedServer server({Connection{Exchange{{okReply(fault)}}, Exchange{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result, expected;
  expected["faultCode"] = 4;
  expected["faultString"] = "Too many";
  EXPECT_TRUE(client.execute("Fail", XmlRpcValue(1), result));
  EXPECT_TRUE(client.isFault());
  EXPECT_EQ(result, expected);
  EXPECT_TRUE(client.execute("Succeed", XmlRpcValue(1), result));
  EXPECT_FALSE(client.isFault());
  EXPECT_TRUE(server.errors().empty());
}

// Two calls on one kept connection, then the destructor closes it.
TEST(ClientConnection, KeptConnectionCarriesEachStepWithItsLogLine) {
  ScriptedServer server({Connection{Exchange{{okReply()}}, Exchange{{okReply()}}}});
  {
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    ASSERT_TRUE(client.execute("Echo", XmlRpcValue(1), result));
    ASSERT_TRUE(client.execute("Echo", XmlRpcValue(1), result));
  }
  server.finish();
  EXPECT_EQ(server.accepted(), 1);
  EXPECT_EQ(server.closedByClient(), 1);
  ASSERT_EQ(server.connectFds().size(), 1u);
  const std::string req = server.requests().at(0);
  const std::string size = std::to_string(req.size());
  const size_t header = req.find("\r\n\r\n") + 4;
  const std::string length = std::to_string(BODY.size());
  std::vector<ScriptedServer::Entry> expected = {
      {1, "XmlRpcClient new client: host 127.0.0.1, port " + std::to_string(server.port()) + "."}};
  for (const char* state : {"0", "5"}) {
    std::vector<ScriptedServer::Entry> call = {
        {1, "XmlRpcClient::execute: method Echo (_connectionState " + std::string(state) + ")."},
        {4, "XmlRpcClient::generateRequest: header is " + std::to_string(header) +
                " bytes, content-length is " + std::to_string(req.size() - header) + "."},
        {5, "XmlRpcClient::writeRequest (attempt 1):\n" + req + "\n"},
        {3, "XmlRpcClient::writeRequest: wrote " + size + " of " + size + " bytes."},
        {4, "XmlRpcClient::readHeader: client has read " + std::to_string(okReply().size()) +
                " bytes"},
        {4, "client read content length: " + length},
        {3, "XmlRpcClient::readResponse (read " + length + " bytes)"},
        {5, "response:\n" + BODY},
        {1, "XmlRpcClient::execute: method Echo completed."}};
    if (state[0] == '0')
      call.insert(call.begin() + 1, {3, "XmlRpcClient::doConnect: fd " +
                                            std::to_string(server.connectFds()[0]) + "."});
    expected.insert(expected.end(), call.begin(), call.end());
  }
  EXPECT_TRUE(server.loggedInOrder(expected));
}

TEST(ClientConnection, EndOfFileWithTheReplyMakesTheNextCallConnectAnew) {
  ScriptedServer server(
      {Connection{Exchange{{okReply()}, Then::CloseEarly}}, Connection{Exchange{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_TRUE(client.execute("First", XmlRpcValue(1), result));
  EXPECT_TRUE(client.execute("Second", XmlRpcValue(1), result));
  EXPECT_EQ(server.accepted(), 2);
  EXPECT_EQ(server.countLogged("XmlRpcClient::close: fd "), 1);
  EXPECT_EQ(server.countLogged("XmlRpcClient::readHeader: re-trying connection"), 0);
}

TEST(ClientConnection, CallAfterAFailedOneClosesTheOldSocketAndConnectsAnew) {
  ScriptedServer server({Connection{Exchange{{ZERO_LENGTH}}}, Connection{Exchange{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_FALSE(client.execute("Fails", XmlRpcValue(1), result));
  EXPECT_TRUE(client.execute("Works", XmlRpcValue(1), result));
  EXPECT_EQ(result, XmlRpcValue(7));
  const std::vector<int> fds = server.connectFds();
  ASSERT_EQ(fds.size(), 2u);
  EXPECT_TRUE(
      server.loggedInOrder({{1, "XmlRpcClient::execute: method Works (_connectionState 3)."},
                            {4, "XmlRpcClient::close: fd " + std::to_string(fds[0]) + "."},
                            {3, "XmlRpcClient::doConnect: fd " + std::to_string(fds[1]) + "."},
                            {1, "XmlRpcClient::execute: method Works completed."}}));
  EXPECT_EQ(server.closedByClient(), 1);
}

TEST(ClientConnection, ExceptionalConditionFailsTheCall) {
  ScriptedServer server({Connection{Exchange{{okReply()}, Then::Urgent}, Exchange{}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
  ASSERT_NE(waitFor(server.connectFds().at(0), POLLPRI) & POLLPRI, 0);
  EXPECT_FALSE(client.execute("Second", XmlRpcValue(1), result));
  ASSERT_EQ(server.errors().size(), 1u);
  EXPECT_TRUE(std::regex_match(
      server.errors()[0],
      std::regex(R"(Error in XmlRpcClient::handleEvent \(state 3\): error \d+\.)")))
      << server.errors()[0];
}

TEST(ClientSteps, ReplacedWriteStepStillScansEachHeaderFromItsFirstByte) {
  ScriptedServer server(
      {Connection{Exchange{{ZERO_LENGTH}}},
       Connection{Exchange{{withLength("HTTP/1.1 200 OK\r\nX: y\r\nContent-length: ", BODY)}}}});
  OwnWriteClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_FALSE(client.execute("Fails", XmlRpcValue(1), result));
  EXPECT_TRUE(client.execute("Works", XmlRpcValue(1), result));
  EXPECT_EQ(result, XmlRpcValue(7));
  EXPECT_EQ(server.errors(), std::vector<std::string>{invalidLength(0)});
}

TEST(ClientRetry, ResendsOnceWhenKeptConnectionIsDead) {
  ScriptedServer server(
      {Connection{Exchange{{okReply()}, Then::Close}}, Connection{Exchange{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
  EXPECT_TRUE(client.execute("Second", XmlRpcValue(2), result));
  EXPECT_EQ(result, XmlRpcValue(7));
  EXPECT_EQ(server.accepted(), 2);
  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("<methodName>Second</methodName>"), std::string::npos);
  EXPECT_TRUE(
      server.loggedInOrder({{1, "XmlRpcClient::execute: method Second (_connectionState 5)."},
                            {5, "XmlRpcClient::writeRequest (attempt 1):\n" + requests[1] + "\n"},
                            {4, "XmlRpcClient::readHeader: re-trying connection"},
                            {5, "XmlRpcClient::writeRequest (attempt 2):\n" + requests[1] + "\n"},
                            {1, "XmlRpcClient::execute: method Second completed."}}));
  EXPECT_EQ(server.countLogged("XmlRpcClient::readHeader: re-trying connection"), 1);
  EXPECT_TRUE(server.errors().empty());
}

TEST(ClientRetry, GivesUpWhenTheServerClosesWithoutAnsweringTwice) {
  ScriptedServer server(
      {Connection{Exchange{{}, Then::Close}}, Connection{Exchange{{}, Then::Close}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result(1);
  EXPECT_FALSE(client.execute("Unanswered", XmlRpcValue(1), result));
  EXPECT_FALSE(result.valid());
  EXPECT_EQ(server.accepted(), 2);
  EXPECT_EQ(server.countLogged("XmlRpcClient::readHeader: re-trying connection"), 1);
  ASSERT_EQ(server.errors().size(), 1u);
  EXPECT_TRUE(std::regex_match(
      server.errors()[0],
      std::regex(R"(Error in XmlRpcClient::readHeader: error while reading header \(error \d+\) )"
                 "on fd " +
                 std::to_string(server.connectFds().at(1)) + "\\.")))
      << server.errors()[0];
}

TEST(ClientConnect, RefusedPortFailsAtTheFirstWriteAndNoDescriptorAtTheSocket) {
  int port = 0;
  UniqueFd reserved = bindLoopback(&port);  // bound and never listening: connections are refused
  ErrorCapture errors;
  XmlRpcClient client("127.0.0.1", port);
  XmlRpcValue result;
  EXPECT_FALSE(client.execute("Echo", XmlRpcValue(1), result));
  // Nothing of the request went out: an exceptional condition now means the connect failed.
  EXPECT_EQ(client.handleEvent(XmlRpcDispatch::EventException), 0u);

  // Lowered only now: a sanitizer's first check of the error handler needs descriptors.
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const bool ok = client.execute("Echo", XmlRpcValue(1), result);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(ok);

  ASSERT_EQ(errors.messages().size(), 3u);
  EXPECT_EQ(errors.messages()[0], "Error in XmlRpcClient::writeRequest: write error (error " +
                                      std::to_string(ECONNREFUSED) + ").");
  EXPECT_TRUE(
      startsWith(errors.messages()[1],
                 "Error in XmlRpcClient::handleEvent: could not connect to server (error "));
  EXPECT_EQ(errors.messages()[2],
            "Error in XmlRpcClient::doConnect: Could not create socket (error " +
                std::to_string(EMFILE) + ").");
}

TEST(ClientConnect, UnresolvableHostFailsToConnectAndLeavesTheResultAlone) {
  ErrorCapture errors;
  LogCapture log(4);
  XmlRpcClient client("corvane-test.invalid", 80);
  XmlRpcValue result(42);
  EXPECT_FALSE(client.execute("Echo", XmlRpcValue(1), result));
  EXPECT_EQ(result, XmlRpcValue(42));
  ASSERT_EQ(errors.messages().size(), 1u);
  EXPECT_TRUE(std::regex_match(
      errors.messages()[0],
      std::regex(
          R"(Error in XmlRpcClient::doConnect: Could not connect to server \(error -?\d+\)\.)")))
      << errors.messages()[0];
  int closes = 0;  // the socket made for the connect is released
  for (const std::string& line : log.messages())
    closes += startsWith(line, "XmlRpcClient::close: fd ");
  EXPECT_EQ(closes, 1);
}

TEST(ClientReentry, NestedExecuteFromAHandlerReturnsFalseAndLeavesTheOuterCallAlone) {
  ScriptedServer server({Connection{Exchange{{okReply()}}, Exchange{{ZERO_LENGTH}}},
                         Connection{Exchange{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  std::vector<bool> nested;
  auto nest = [&] {
    XmlRpcValue ignored;
    nested.push_back(client.execute("Nested", XmlRpcValue(2), ignored));
  };
  XmlRpcValue result;
  server.onLog = [&](const char* msg) {
    if (startsWith(msg, "XmlRpcClient::readHeader: client has read")) nest();
  };
  EXPECT_TRUE(client.execute("FromLog", XmlRpcValue(1), result));
  EXPECT_EQ(result, XmlRpcValue(7));
  server.onLog = nullptr;
  server.onError = [&](const char*) { nest(); };
  EXPECT_FALSE(client.execute("FromError", XmlRpcValue(1), result));
  server.onError = nullptr;
  EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));

  EXPECT_GE(nested.size(), 2u);
  EXPECT_EQ(std::count(nested.begin(), nested.end(), true), 0);
  EXPECT_EQ(server.countLogged("XmlRpcClient::execute: method Nested (_connectionState 3)."),
            static_cast<int>(nested.size()));
  EXPECT_EQ(server.errors(), std::vector<std::string>{invalidLength(0)});
  const std::vector<std::string> requests = server.requests();
  EXPECT_EQ(requests.size(), 3u);
  for (const std::string& r : requests)
    EXPECT_EQ(r.find("Nested"), std::string::npos);
}

TEST(ClientWait, ServerThatNeverAnswersKeepsExecuteWaiting) {
  LoopbackListener listener;
  pid_t pid = ::fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    XmlRpcClient client("127.0.0.1", listener.port());
    XmlRpcValue result;
    ::_exit(client.execute("Wait", XmlRpcValue(1), result) ? 0 : 1);
  }
  ChildProcess child(pid);
  UniqueFd connection = listener.accept();
  std::string request;
  EXPECT_TRUE(readHttpRequest(connection.get(), request, std::atomic<bool>(false)));
  ::usleep(500 * 1000);
  EXPECT_TRUE(child.running());
}
