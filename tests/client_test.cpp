// The client against scripted servers on 127.0.0.1: the bytes of each request, every kind
// of response and its error line, the kept connection and its one resend, time limits (through
// signals, on descriptors above 1,024); the socket helpers that the client does not use; and
// the stack in a long-running program: poll()'s events, clients on eight threads.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>

#include "XmlRpcSocket.h"
#include "support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

const std::string EOF_HEADER = "Error in XmlRpcClient::readHeader: EOF while reading header";
const std::string EOF_BODY = "Error in XmlRpcClient::readResponse: EOF while reading response";
const std::string RESET_HEADER =
    "Error in XmlRpcClient::readHeader: error while reading header (error 104) on fd ";
const std::string INVALID = "Error in XmlRpcClient::readHeader: Invalid Content-length specified (";
const std::string BAD = "Error in XmlRpcClient::parseResponse: Invalid response";
const XmlRpcValue SEVEN = 7;

// The last call's error is the line that `line` begins, of the kind it tells; none for "".
void expectLastError(const XmlRpcClient& client, const std::string& line) {
  using Kind = XmlRpcClient::ErrorKind;
  // clang-format off
  const std::pair<std::string, Kind> kinds[] = {{"write error (error 111)", Kind::CONNECT},
      {"doConnect", Kind::CONNECT}, {"writeRequest", Kind::WRITE}, {"EOF while", Kind::READ},
      {"error while reading", Kind::READ}, {"readHeader", Kind::HTTP}, {"readResponse", Kind::HTTP},
      {"execute", Kind::TIMEOUT}, {"methodResponse (HTTP", Kind::HTTP},
      {"parseResponse", Kind::PARSE}, {"", Kind::NONE}};
  // clang-format on
  const auto told = std::find_if(std::begin(kinds), std::end(kinds),
                                 [&](const auto& k) { return line.find(k.first) != line.npos; });
  const XmlRpcClient::Error e = client.lastError();
  EXPECT_TRUE(e.kind == told->second && e.message.rfind(line, 0) == 0 &&
              e.message.empty() == line.empty())
      << line << " | " << e.message;
}

// Shows how much its buffers hold; with several ports, connects to 127.0.0.1 at each in turn.
struct TestClient : XmlRpcClient {
  TestClient(const char* host, std::vector<int> ports)
      : XmlRpcClient(host, ports.at(0)), _ports(std::move(ports)) {}
  size_t held() const { return _request.capacity() + _header.capacity() + _response.capacity(); }
  void close() override { most = std::max(most, held()), XmlRpcClient::close(); }
  size_t most = 0;  // what its buffers held when it last closed a connection
  bool doConnect() override {
    if (_ports.size() == 1) return XmlRpcClient::doConnect();
    std::vector<SocketAddress> one;
    _addresses.clear();
    for (int port : _ports)
      if (XmlRpcSocket::resolve("127.0.0.1", port, one)) _addresses.push_back(one[0]);
    _nextAddress = 0;
    return connectNextAddress();
  }
  std::vector<int> _ports;
};

// `BODY` in chunks of `size` bytes, `ext` after each chunk size, `trailer` after the last chunk.
std::string chunked(size_t size, const std::string& ext = "", const std::string& trailer = "",
                    const char* sizeFormat = "%zx") {
  std::string out;
  for (size_t at = 0; at < BODY.size(); at += size) {
    char hex[20];
    std::snprintf(hex, sizeof(hex), sizeFormat, BODY.substr(at, size).size());
    out += hex + ext + "\r\n" + BODY.substr(at, size) + "\r\n";
  }
  return out + "0" + ext + "\r\n" + trailer + "\r\n";
}

// A new client's call to a server that sends `reply` then does `then`: it gives 7, or fails
// with the one error line `error`. A second call follows, on the kept connection after a
// completed reply; its reply is chunked after a chunked one, else it runs until the close.
void expectOneCall(std::vector<std::string> reply, Then then, const std::string& error,
                   bool chunkedNext) {
  const Exchange first{std::move(reply), then},
      second{{"HTTP/1.1 200 OK\r\n" +
              (chunkedNext ? "Transfer-Encoding: chunked\r\n\r\n" + chunked(40) : "\r\n" + BODY)},
             Then::Close};
  const bool kept = then == Then::Keep && (error.empty() || error.rfind(BAD, 0) == 0);
  ScriptedServer server(kept ? std::vector<Connection>{{first, second}}
                             : std::vector<Connection>{{first}, {second}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result(1);
  EXPECT_EQ(client.execute("Echo", 1, result), error.empty());
  EXPECT_TRUE(result == (error.empty() ? SEVEN : XmlRpcValue()) && !client.isFault());
  EXPECT_EQ(server.errors, lines(error));
  expectLastError(client, error);
  EXPECT_EQ(client.getfd() == -1, error.find("limit") != error.npos);  // closed at once
  EXPECT_TRUE(client.execute("Echo", 1, result) && result == SEVEN &&
              server.accepted == (kept ? 1 : 2));
}

TEST(ClientRequest, EachCallIsSentByteForByte) {
  XmlRpcValue hole;
  hole[1] = 5;
  const struct {
    const char *uri, *method;
    XmlRpcValue params;
    std::string paramsXml;
    const char *host = "127.0.0.1", *hostField = "127.0.0.1";
  } cases[] = {
      {nullptr, "NoParams", XmlRpcValue(), ""},
      {nullptr, "a<b&", hole,
       "<params><param></param><param><value><i4>5</i4></value></param></params>"},
      {"/x?y=1", "NotAnArray", "a<b", "<params><param><value>a&lt;b</value></param></params>"},
      {nullptr, "V6", XmlRpcValue(), "", "::1", "[::1]"},
      {nullptr, "V6", XmlRpcValue(), "", "[::1]", "[::1]"}};
  for (const auto& c : cases) {
    const int family = c.host[0] == '1' ? AF_INET : AF_INET6;
    if (int port; bound(&port, family).fd < 0) GTEST_SKIP() << "no IPv6 loopback (::1) here";
    ScriptedServer server({{{{okReply()}}}}, family);
    XmlRpcValue result;
    EXPECT_TRUE(XmlRpcClient(c.host, server.port(), c.uri)
                    .execute(std::string(c.method), c.params, result));
    const std::string body = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>" +
                             std::string(c.method) + "</methodName>\r\n" + c.paramsXml +
                             "</methodCall>\r\n";
    EXPECT_EQ(server.requests().at(0),
              "POST " + std::string(c.uri ? c.uri : "/RPC2") +
                  " HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: " + c.hostField + ":" +
                  std::to_string(server.port()) + "\r\nContent-Type: text/xml\r\n" +
                  "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
}

// Every reply is sent in one write and one byte at a time.
TEST(ClientResponse, EachReplyGivesItsOutcomeWhateverTheReadSizes) {
  const std::string n = std::to_string(BODY.size()),
                    cut = okReply().substr(0, okReply().size() - 9);
  const std::string h = "HTTP/1.1 200 OK\r\n", chunks = h + "Transfer-Encoding: chunked\r\n\r\n",
                    chunkError = "Error in XmlRpcClient::readResponse: malformed chunked body (",
                    w[] = {
                        "<MethodResponse><params><param><value>7</value></param>",
                        "<methodResponse><params></params></methodResponse>",
                        "<methodResponse><params><param><i4>7</i4></param>",
                        "<methodResponse><params><param><value><int>1099511627776</int></value>"};
  // clang-format off
  const struct { std::string reply; Then then; std::string error; } cases[] = {
      {okReply(), Then::Keep, ""},
      {h + "Content-length: " + n + "\n\n" + BODY, Then::Keep, ""},
      {h + "CONTENT-LENGTH: 3\r\ncontent-Length: " + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {"HTTP/1.1 500 Error\r\nX-Content-length: " + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {okReply("junk <methodResponse>\r\n <params>\n\t<param>\r\n <value><i4>7</i4></value>"), Then::Keep, ""},
      {h + "Content-length:" + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {h + "Content-length:\t \t" + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {h + "Content-Type: text/xml\r\n\r\n" + BODY, Then::Close, ""},
      {chunks + chunked(25), Then::Keep, ""},
      {h + "transfer-encoding:\tCHUNKED \r\n\r\n" + chunked(1), Then::Keep, ""},
      {h + "Content-length: 5\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(26, "", "", "%zX"), Then::Keep, ""},
      {chunks + chunked(15, " ;a=b;c=\"d;e\"", "X-Sum: 1\r\nX-More: 2\r\n"), Then::Keep, ""},
      {chunks + "1g\r\n" + BODY, Then::Keep, chunkError + "bad chunk size)."},
      {chunks + "80000000\r\n", Then::Keep, chunkError + "chunk size too large)."},
      {chunks + "3\r\nabcd\r\n", Then::Keep, chunkError + "no line end after chunk data)."},
      {chunks + chunked(40).substr(0, 60), Then::Close, EOF_BODY},
      {h + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(40), Then::Keep,
       "Error in XmlRpcClient::readHeader: unsupported Transfer-Encoding (gzip, chunked)."},
      {h + "Content-length: \r\n\r\n" + n + BODY, Then::Keep, INVALID + "0)."},
      {OK_HEAD + "-5\r\n\r\n" + BODY, Then::Keep, INVALID + "-5)."},
      {OK_HEAD + n + "\r\nContent-length: 0\r\n\r\n" + BODY, Then::Keep, INVALID + "0)."},
      {OK_HEAD + "67108864\r\n\r\n" + BODY, Then::Close, EOF_BODY},
      {OK_HEAD + "1099511627776\r\n\r\n" + BODY, Then::Keep, "Error in XmlRpcClient::readHeader: Content-length (1099511627776) beyond the response limit (67108864 bytes)."},
      {OK_HEAD + "18446744073709551616\r\n\r\n" + BODY, Then::Keep, "Error in XmlRpcClient::readHeader: Content-length beyond the 64-bit limit."},
      {h + "Content-le", Then::Close, EOF_HEADER}, {OK_HEAD + n + "\r\n\r\n", Then::Close, EOF_HEADER},
      {h + "Content-length: " + n + "\n\n", Then::Close, EOF_HEADER}, {h, Then::Reset, EOF_HEADER},
      {cut, Then::Close, EOF_BODY}, {cut, Then::Reset, EOF_BODY},
      {okReply(w[0]), Then::Keep, BAD + " - no methodResponse. Response:\n" + w[0]},
      {okReply(w[1]), Then::Keep, BAD + " - no param or fault tag. Response:\n" + w[1]},
      {okReply(w[2]), Then::Keep, BAD + " value. Response:\n" + w[2]},
      {okReply(w[3]), Then::Keep, BAD + " value (an integer beyond 32 bits: 1099511627776). Response:\n" + w[3]},
      {okReply("<html>\r\n\x1b[2J\xff\xc2\x9b\xc3\xa9\t\xf4\x8f\xbf\xbf\xe0\x80\xed\xa0\xf5\x80\x80\x80"), Then::Keep,
       BAD + " - no methodResponse. Response:\n<html>\\r\\n\\x1B[2J\\xFF\\xC2\\x9B\xc3\xa9\\t\xf4\x8f\xbf\xbf"
             "\\xE0\\x80\\xED\\xA0\\xF5\\x80\\x80\\x80"},
      {"HTTP/1.1 500 Internal Server Error\r\nContent-length: 4\r\n\r\nFail", Then::Keep,
       BAD + " - no methodResponse (HTTP/1.1 500 Internal Server Error). Response:\nFail"}};
  // clang-format on
  for (const auto& c : cases)
    for (size_t size : {c.reply.size(), size_t{1}}) {
      SCOPED_TRACE(c.reply.substr(0, 60) + " in pieces of " + std::to_string(size));
      expectOneCall(pieces(c.reply, size), c.then, c.error,
                    c.reply.find("hunked\r\n") != std::string::npos);
    }
}

// Each row: what the server does on each connection, and the error line of each call ("" when
// it gives 7, "fault" for the fault). The first connection's end, or bytes after its reply, have
// reached the client before the second call where `idleEnd` says so; the client is destroyed
// after the last call.
TEST(ClientConnection, KeptUntilItEndsAndResentOnceWhenFoundDead) {
  const Exchange ok{{okReply()}}, unanswered{{}, Then::Reset}, closed{{}, Then::Close};
  const std::string big =
      okReply("<methodResponse><params><param><value>" + std::string(2 << 20, 'x'));
  const std::string large(3 << 20, 'x'),
      longHeader = "HTTP/1.1 200 OK\r\nX: " + std::string(300, 'p');
  const std::string fault =
      "<methodResponse><fault><value><struct><member><name>faultCode</name>"
      "<value><int>4</int></value></member></struct></value></fault>";
  // clang-format off
  const struct {
    std::vector<Connection> script;
    std::vector<std::string> errors;
    bool idleEnd;
    int resends;
  } cases[] = {{{{{{okReply(fault)}}, {{longHeader + "\r\n" + okReply().substr(17)}}, ok}}, {"fault", "", ""}, false, 0},
               {{{{{okReply()}, Then::CloseEarly}}, {ok}}, {"", ""}, false, 0},
               {{{{{OK_HEAD + "0\r\n\r\n" + BODY}, Then::CloseEarly}}, {ok}}, {INVALID + "0).", ""}, false, 0},
               {{{ok, closed}, {ok, ok}}, {"", "", ""}, false, 1},
               {{{Exchange{{okReply()}, Then::Reset}}, {ok, ok}}, {"", "", ""}, true, 0},
               {{{{{okReply() + "junk"}}}, {ok}}, {"", ""}, false, 0},
               {{{{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(40) + "junk"}}}, {ok}}, {"", ""}, false, 0},
               {{{{{okReply(), "junk"}}}, {ok}}, {"", ""}, true, 0},
               {{{{{"HTTP/1.1 200 OK\r\nConnection: Keep-Alive, close\r\n" + okReply().substr(17)}}}, {ok}}, {"", ""}, false, 0},
               {{{{{"HTTP/1.0" + okReply().substr(8)}}}, {ok}}, {"", ""}, false, 0},
               {{{{{"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n" + okReply().substr(17)}}, ok}}, {"", ""}, false, 0},
               {{{unanswered}, {ok, ok}}, {"", ""}, false, 1},
               {{{unanswered}, {unanswered}, {ok}}, {RESET_HEADER, ""}, false, 1},
               {{{ok, Exchange{{"HTTP/1.1 200 OK\r\n"}, Then::Reset}}, {ok}}, {"", EOF_HEADER, ""}, false, 0},
               {{{Exchange{pieces(big.substr(0, 1 << 20), 4096), Then::Reset}}, {ok}}, {EOF_BODY, ""}, false, 0},
               {{{{{okReply()}, Then::Close}}, {ok}}, {"", "large"}, true, 0}};
  // clang-format on
  for (const auto& c : cases) {
    ScriptedServer server(c.script);
    {
      TestClient client("127.0.0.1", {server.port()});
      for (const std::string& error : c.errors) {
        ASSERT_TRUE(&error != &c.errors[1] || !c.idleEnd || waitFor(client.getfd(), POLLIN));
        XmlRpcValue result(1), faultValue;
        faultValue["faultCode"] = 4;
        const XmlRpcValue param = error == "large" ? XmlRpcValue(large) : XmlRpcValue(1);
        const bool failing = error.rfind("Error", 0) == 0;
        EXPECT_EQ(client.execute("Call", param, result), !failing);
        EXPECT_EQ(result, failing ? XmlRpcValue() : error == "fault" ? faultValue : SEVEN);
        EXPECT_EQ(client.isFault(), error == "fault");
        expectLastError(client, failing ? error : "");
        EXPECT_LE(client.held(), 3u * 64 * 1024);  // a large request or response is freed
      }
    }
    server.finish();
    const std::string sent = server.requests().back();  // a large one written in many pieces
    EXPECT_EQ(sent.find("<value>" + large),
              c.errors.back() == "large" ? sent.size() - large.size() - 47 : sent.npos);
    EXPECT_EQ(server.accepted, static_cast<int>(c.script.size()));
    EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2):"), c.resends);
    // The client closes each connection that the server left open, the last when it goes.
    EXPECT_EQ(server.closedByClient, std::count_if(c.script.begin(), c.script.end(), [](auto& x) {
                return x.back().then == Then::Keep;
              }));
  }
}

// Silent; a byte every 5 ms; in time without a limit; a reply that ends after the limit,
// then a second call. The client's socket is above 1,024 and SIGUSR1 comes every 2 ms.
TEST(ClientTimeout, ALateCallEndsAtItsLimitAndTheNextOneGetsItsOwnAnswer) {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit raised{std::max<rlim_t>(saved.rlim_cur, 1100), saved.rlim_max};
  const bool high = raised.rlim_cur <= raised.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
  std::vector<Fd> taken;
  while (high && (taken.empty() || (taken.back().fd >= 0 && taken.back().fd <= 1024)))
    taken.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
  ::signal(SIGUSR1, [](int) {});  // poll() is never restarted after a handler
  std::atomic<bool> done{false};
  std::thread signaller([&, caller = ::pthread_self()] {
    for (; !done; ::usleep(2000))
      ::pthread_kill(caller, SIGUSR1);
  });
  const std::string late =
      "Error in XmlRpcClient::execute: no response within the time limit (0.3 s).";
  const struct {
    double limit;
    std::vector<Connection> script;
  } cases[] = {
      {0.3, {{{{}}}}},
      {0.3, {{{pieces(okReply()), Then::Keep, 5}}}},
      {-1, {{{{okReply()}, Then::Keep, 200}}}},
      {0.3, {{{{okReply().substr(0, 9), okReply().substr(9)}, Then::Keep, 200}}, {{{okReply()}}}}}};
  for (const auto& c : cases) {
    ScriptedServer server(c.script);
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result(1);
    const bool inTime = c.limit < 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.execute("Echo", 1, result, c.limit), inTime);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(took >= (inTime ? 0.2 : c.limit) && took < (inTime ? 1.5 : 3 * c.limit)) << took;
    EXPECT_EQ(result, inTime ? SEVEN : XmlRpcValue());
    EXPECT_TRUE(server.errors == lines(inTime ? "" : late) &&
                (!high || !inTime || client.getfd() > 1024));
    expectLastError(client, inTime ? "" : late);
    if (c.script.size() == 1 && !inTime) server.finish();  // the timed-out client has closed
    EXPECT_EQ(server.closedByClient, c.script.size() == 1 && !inTime);
    EXPECT_TRUE(c.script.size() == 1 ||
                (client.execute("Echo", 2, result, 5.0) && server.accepted == 2));
  }
  done = true;
  signaller.join();
  if (!high) GTEST_SKIP() << "no descriptor above 1,024: the hard limit is " << saved.rlim_max;
}

// A name that does not resolve, refused addresses, a reset while writing: each error's kind.
TEST(ClientConnect, EachAddressIsTriedInTurnAndEachFailureTellsItsKind) {
  int refused = 0, resetting = 0;
  const Fd refusing = bound(&refused, AF_INET, false), resetter = bound(&resetting);
  std::thread resetAtOnce([&, abort = linger{1, 0}] {
    Fd connection(waitFor(resetter.fd, POLLIN) ? ::accept(resetter.fd, nullptr, nullptr) : -1);
    ::setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  });
  ScriptedServer server({{{{okReply()}}}});
  // clang-format off
  const struct { const char* host; std::vector<int> ports; XmlRpcValue param; std::string error; } cases[] = {
      {"corvane-test.invalid", {80}, 1, "Error in XmlRpcClient::doConnect: Could not connect to server"},
      {"localhost", {refused}, 1, "Error in XmlRpcClient::writeRequest: write error (error 111)."},
      {"127.0.0.1", {refused, refused, server.port()}, 1, ""},
      {"127.0.0.1", {resetting}, std::string(8 << 20, 'x'), "Error in XmlRpcClient::writeRequest"}};
  // clang-format on
  for (const auto& c : cases) {
    TestClient client(c.host, c.ports);
    XmlRpcValue result;
    EXPECT_EQ(client.execute("Echo", c.param, result), c.error.empty());
    expectLastError(client, c.error);
  }
  resetAtOnce.join();
  EXPECT_EQ(server.accepted, 1);
}

// 1 MiB of header or chunk; headers of 64 KiB and a byte more; bodies at and beyond their limits.
TEST(ClientLimits, NoServerMakesTheClientHoldMoreThanItsLimits) {
  // clang-format off
  const std::string ok = "HTTP/1.1 200 OK\r\n", chunks = ok + "Transfer-Encoding: chunked\r\n\r\n", mib(1 << 20, 'x'),
      body = chunked(40, ";x=y", "X-Trailer: 1\r\n"), over = "Error in XmlRpcClient::readResponse: response body beyond the response limit (",
      longHeader = "Error in XmlRpcClient::readHeader: response header beyond the header limit (65536 bytes).",
      header = okReply().insert(17, "X: " + std::string(65531 + BODY.size() - okReply().size(), 'h') + "\r\n");
  const std::tuple<std::string, Then, size_t, std::string> rows[] = {
      {ok + mib, Then::Keep, 0, longHeader}, {"H" + header, Then::Keep, 0, longHeader},
      {header, Then::Keep, 0, ""}, {chunks + "100000\r\n" + mib, Then::Keep, 65536, over + "65536 bytes)."},
      {chunks + body, Then::Keep, body.size(), ""},
      {chunks + body, Then::Keep, body.size() - 1, over + std::to_string(body.size() - 1) + " bytes)."},
      {ok + "\r\n" + BODY, Then::Close, BODY.size(), ""},
      {ok + "\r\n" + BODY, Then::Close, BODY.size() - 1, over + std::to_string(BODY.size() - 1) + " bytes)."}};
  // clang-format on
  for (const auto& [reply, then, limit, error] : rows) {
    ScriptedServer server({{{pieces(reply, reply.size() > 1 << 20 ? reply.size() : 65536), then}}});
    TestClient client("127.0.0.1", {server.port()});
    client.setResponseLimit(limit);
    XmlRpcValue result;
    EXPECT_EQ(client.execute("Echo", 1, result), error.empty()) << reply.substr(0, 40) << limit;
    EXPECT_TRUE(server.errors == lines(error) && (client.getfd() == -1) != error.empty() &&
                client.most < 3 << 17);
    expectLastError(client, error);
  }
}

TEST(Socket, BindsAllAddressesListensAcceptsAndCloses) {
  Fd server(XmlRpcSocket::socket());
  int value = 0, port = 0;
  socklen_t len = sizeof(value);
  EXPECT_TRUE(XmlRpcSocket::setReuseAddr(server.fd) && !XmlRpcSocket::setNonBlocking(-1));
  ::getsockopt(server.fd, SOL_SOCKET, SO_REUSEADDR, &value, &len);
  Fd taken = bound(&port);
  EXPECT_TRUE(value == 1 && XmlRpcSocket::accept(server.fd) < 0 &&
              !XmlRpcSocket::bind(server.fd, port));
  ASSERT_TRUE(XmlRpcSocket::bind(server.fd, 0) && XmlRpcSocket::listen(server.fd, 4));
  sockaddr_in a{};
  len = sizeof(a);
  ::getsockname(server.fd, reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
  Fd client(XmlRpcSocket::socket());
  EXPECT_TRUE(XmlRpcSocket::connect(client.fd, "127.0.0.1", ntohs(a.sin_port)));
  const int conn = XmlRpcSocket::accept(server.fd);
  XmlRpcSocket::close(conn);
  EXPECT_TRUE(conn >= 0 && ::fcntl(conn, F_GETFD) == -1);
}

struct Probe : XmlRpcSource {  // notes the events of the first pass that has any, then leaves
  explicit Probe(int fd) : XmlRpcSource(fd) { setKeepOpen(); }
  unsigned handleEvent(unsigned event) override { return seen.push_back(event), 0; }
  std::vector<unsigned> seen;
};

// Pipe ends without writer ('r'), without reader ('w') or with room ('o'); urgent data ('u').
TEST(Dispatch, HangUpsAndErrorsReachTheEventsWaitedForAndUrgentDataIsTheException) {
  enum : unsigned { R = 1, W = 2, X = 4 };
  const std::tuple<char, unsigned, std::vector<unsigned>> cases[] = {
      {'r', R, {R}},        {'r', R | X, {R}},     {'r', X, {X}}, {'w', W, {W}},
      {'w', R | W, {R, W}}, {'o', R | W | X, {W}}, {'u', X, {X}}, {'c', R, {}}};
  Capture capture(0);
  for (const auto& [end, mask, seen] : cases) {
    int p[2], port = 0;
    ASSERT_EQ(::pipe(p), 0);
    Fd in(p[0]), out(p[1]), listener = bound(&port), tcp(::socket(AF_INET, SOCK_STREAM, 0)), peer;
    (end == 'r' ? out : end == 'w' ? in : peer).reset();
    const sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (end == 'u' && ::connect(tcp.fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0)
      peer.reset(::accept(listener.fd, nullptr, nullptr)), ::send(peer.fd, "!", 1, MSG_OOB);
    const int fd = end == 'r' ? in.fd : end == 'u' ? tcp.fd : end == 'c' ? 1000 : out.fd;
    Probe probe(fd);
    XmlRpcDispatch disp;
    disp.addSource(&probe, mask);
    disp.work(2.0);  // each case ends at once: the limit only bounds a fault
    EXPECT_EQ(probe.seen, seen) << end << mask;
  }
  EXPECT_EQ(capture.errors,
            lines("Error in XmlRpcDispatch::work: error in poll (descriptor 1000 is not open)."));
}

// Each thread's own client and values; another client's refused calls, and their error lines.
TEST(Threads, ClientsOnEightThreadsGetTheirOwnResultsAndWholeErrorLines) {
  const Process echo({CORVANE_PYTHON, CORVANE_PEERS, "echo", "-"});  // a thread a connection
  int refused = 0;
  const Fd refusing = bound(&refused, AF_INET, false), saved(::dup(2));
  std::FILE* const file = std::tmpfile();
  ::dup2(fileno(file), 2);
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      XmlRpcClient client("127.0.0.1", echo.port()), failing("127.0.0.1", refused);
      for (int i = 0; i < 200; ++i) {
        XmlRpcValue result, text = std::to_string(t * 1000 + i) + std::string(40 * t, 'a');
        right += client.execute("echo", text, result) && result == text;
        right += i % 2 && !failing.execute("echo", text, result);
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  ::dup2(saved.fd, 2);
  std::string written(1 << 20, '\0'), expected;
  written.resize(std::max<ssize_t>(::pread(fileno(file), &written[0], written.size(), 0), 0));
  std::fclose(file);
  for (int line = 0; line < 8 * 100; ++line)
    expected += "Error in XmlRpcClient::writeRequest: write error (error 111).\n";
  EXPECT_TRUE(written == expected && right == 8 * 300) << right;
}

}  // namespace
