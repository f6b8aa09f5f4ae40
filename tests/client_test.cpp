// The client against scripted servers on 127.0.0.1: the bytes of each request,
// every kind of response and its error line, the kept connection and its one
// resend, injected faults, and the rpcset proxy.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <new>
#include <regex>

#include "TRpcSrv.h"
#include "support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

const std::string EOF_IN_HEADER = "Error in XmlRpcClient::readHeader: EOF while reading header";
const std::string EOF_IN_BODY = "Error in XmlRpcClient::readResponse: EOF while reading response";
const std::string NO_LENGTH = "Error XmlRpcClient::readHeader: No Content-length specified";
const std::string RESET_IN_HEADER =
    "Error in XmlRpcClient::readHeader: error while reading header (error 104) on fd {fd}.";

std::string invalidLength(int n) {
  return "Error in XmlRpcClient::readHeader: Invalid Content-length specified (" +
         std::to_string(n) + ").";
}
std::string badResponse(const std::string& what, const std::string& body) {
  return "Error in XmlRpcClient::parseResponse: Invalid response" + what + ". Response:\n" + body;
}
std::string response(const std::string& valueXml) {
  return "<methodResponse><params><param>" + valueXml + "</param></params></methodResponse>";
}
std::string request(int port, const std::string& uri, const std::string& body) {
  return "POST " + uri +
         " HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: text/xml\r\nContent-length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}
std::vector<std::string> errorLines(std::string line, int fd) {
  if (line.empty()) return {};
  if (size_t at = line.find("{fd}"); at != std::string::npos)
    line.replace(at, 4, std::to_string(fd));
  return {line};
}

// One call of a new client to a server that sends `pieces`: it returns `expected`,
// or fails with the one error line `error` ({fd} the connection) when that is not empty.
void expectOneCall(std::vector<std::string> pieces, Then then, const std::string& error,
                   const XmlRpcValue& expected = XmlRpcValue(7)) {
  ScriptedServer server({{{std::move(pieces), then}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result(1);
  EXPECT_EQ(client.execute("Echo", XmlRpcValue(1), result), error.empty());
  EXPECT_FALSE(client.isFault());
  EXPECT_TRUE(result == (error.empty() ? expected : XmlRpcValue()));
  EXPECT_EQ(server.errors, errorLines(error, server.fds().at(0)));
}

TEST(ClientRequest, EachCallIsSentByteForByte) {
  XmlRpcValue pair, empty, hole;
  pair[0] = "alpha", pair[1] = "beta";
  empty.setSize(0);
  hole[1] = 5;
  const struct {
    const char* uri;
    const char* method;
    XmlRpcValue params;
    std::string paramsXml;
  } cases[] = {
      {nullptr, "SetBOOT", pair,
       "<params><param><value>alpha</value></param><param><value>beta</value></param></params>"},
      {nullptr, "NoParams", XmlRpcValue(), ""},
      {nullptr, "NotAnArray", XmlRpcValue("a<b"),
       "<params><param><value>a&lt;b</value></param></params>"},
      {nullptr, "EmptyArray", empty, "<params></params>"},
      {nullptr, "a<b&c", hole,
       "<params><param></param><param><value><i4>5</i4></value></param></params>"},
      {"/custom?x=1", "Custom", XmlRpcValue(true),
       "<params><param><value><boolean>1</boolean></value></param></params>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    ScriptedServer server({{{{okReply()}}}});
    XmlRpcClient client("127.0.0.1", server.port(), c.uri);
    XmlRpcValue result;
    EXPECT_TRUE(client.execute(c.method, c.params, result));
    const std::string body = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>" +
                             std::string(c.method) + "</methodName>\r\n" + c.paramsXml +
                             "</methodCall>\r\n";
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{request(server.port(), c.uri ? c.uri : "/RPC2", body)});
  }
  EXPECT_NE(request(1, "/RPC2", std::string(170, ' ')).find("Content-length: 170\r\n"),
            std::string::npos);
}

// Every reply is sent in one write and one byte at a time.
TEST(ClientResponse, EachReplyGivesItsOutcomeWhateverTheReadSizes) {
  const std::string n = std::to_string(BODY.size());
  const std::string cut = okReply().substr(0, okReply().size() - 9);
  const std::string spaced =
      "junk <methodResponse>\r\n <params>\n\t<param>\r\n <value><i4>7</i4></value></param>";
  const std::string capitalM = "<MethodResponse><params><param><value>7</value></param>";
  const std::string emptyParams = "<methodResponse><params></params></methodResponse>";
  const std::string noValue = "<methodResponse><params><param><i4>7</i4></param>";
  const struct {
    std::string reply;
    Then then;
    std::string error;  // none for a result of 7
  } cases[] = {
      {okReply(), Then::Keep, ""},
      {"HTTP/1.1 200 OK\nContent-length: " + n + "\n\n" + BODY, Then::Keep, ""},
      {"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: " + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {"HTTP/1.1 200 OK\r\nContent-length: 3\r\ncontent-Length: " + n + "\r\n\r\n" + BODY,
       Then::Keep, ""},
      {"HTTP/1.1 500 Error\r\nX-Content-length: " + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {okReply() + "<trailing/>", Then::Keep, ""},
      {okReply(spaced), Then::Keep, ""},
      {"HTTP/1.1 200 OK\r\nContent-length:" + n + "\r\n\r\n" + BODY, Then::Keep, NO_LENGTH},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + BODY, Then::Keep, NO_LENGTH},
      {OK_HEAD + "0\r\n\r\n" + BODY, Then::Keep, invalidLength(0)},
      {OK_HEAD + "ten\r\n\r\n" + BODY, Then::Keep, invalidLength(0)},
      {OK_HEAD + "-5\r\n\r\n" + BODY, Then::Keep, invalidLength(-5)},
      {OK_HEAD + n + "\r\nContent-length: 0\r\n\r\n" + BODY, Then::Keep, invalidLength(0)},
      {OK_HEAD + std::to_string((1ULL << 32) + BODY.size()) + "\r\n\r\n" + BODY, Then::Close,
       EOF_IN_BODY},
      {"HTTP/1.1 200 OK\r\nContent-le", Then::Close, EOF_IN_HEADER},
      {OK_HEAD + n + "\r\n\r\n", Then::Close, EOF_IN_HEADER},
      {"HTTP/1.1 200 OK\nContent-length: " + n + "\n\n", Then::Close, EOF_IN_HEADER},
      {"HTTP/1.1 200 OK\r\n", Then::Reset, EOF_IN_HEADER},
      {cut, Then::Close, EOF_IN_BODY},
      {cut, Then::Reset, EOF_IN_BODY},
      {okReply("<?xml version=\"1.0\"?><methodCall/>"), Then::Keep,
       badResponse(" - no methodResponse", "<?xml version=\"1.0\"?><methodCall/>")},
      {okReply(capitalM), Then::Keep, badResponse(" - no methodResponse", capitalM)},
      {okReply(emptyParams), Then::Keep, badResponse(" - no param or fault tag", emptyParams)},
      {okReply(noValue), Then::Keep, badResponse(" value", noValue)},
  };
  for (const auto& c : cases)
    for (size_t size : {c.reply.size(), size_t{1}}) {
      SCOPED_TRACE(c.reply.substr(0, 60) + " in pieces of " + std::to_string(size));
      expectOneCall(pieces(c.reply, size), c.then, c.error);
    }
}

TEST(ClientResponse, FaultIsACompletedCallHoldingTheFaultValue) {
  ScriptedServer server(
      {{{{okReply("<methodResponse><fault><value><struct><member><name>faultCode</name><value>"
                  "<int>4</int></value></member></struct></value></fault>")}},
        {{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result, fault;
  fault["faultCode"] = 4;
  EXPECT_TRUE(client.execute("Fail", XmlRpcValue(1), result));
  EXPECT_TRUE(client.isFault());
  EXPECT_EQ(result, fault);
  EXPECT_TRUE(client.execute("Succeed", XmlRpcValue(1), result));
  EXPECT_FALSE(client.isFault());
  EXPECT_TRUE(server.errors.empty());
}

// Two calls on one kept connection (the second header shorter than the first), then the destructor
// closes it.
TEST(ClientConnection, KeptConnectionCarriesTheNextCall) {
  const std::string longHeader =
      "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(300, 'p') + "\r\n" + okReply().substr(17);
  ScriptedServer server({{{{longHeader}}, {{okReply()}}}});
  {
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    ASSERT_TRUE(client.execute("Echo", XmlRpcValue(1), result));
    ASSERT_TRUE(client.execute("Echo", XmlRpcValue(1), result));
    EXPECT_EQ(result, XmlRpcValue(7));
  }
  server.finish();
  EXPECT_EQ(server.accepted, 1);
  EXPECT_EQ(server.closedByClient, 1);
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Echo (_connectionState 5)."), 1);
  EXPECT_EQ(server.count("client read content length: " + std::to_string(BODY.size())), 2);
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Echo completed."), 2);
}

// A call after an end of file seen with the reply, or after a failed call, connects anew.
TEST(ClientConnection, NextCallConnectsAnewAfterAnEndOfFileOrAFailure) {
  for (const std::string& first : {okReply(), OK_HEAD + "0\r\n\r\n" + BODY}) {
    ScriptedServer server({{{{first}, Then::CloseEarly}}, {{{okReply()}}}});
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_EQ(client.execute("First", XmlRpcValue(1), result), first == okReply());
    EXPECT_TRUE(client.execute("Second", XmlRpcValue(1), result));
    EXPECT_EQ(server.accepted, 2);
    EXPECT_EQ(server.count("XmlRpcClient::close: fd " + std::to_string(server.fds().at(0)) + "."),
              1);
    EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection"), 0);
  }
}

TEST(ClientConnection, ExceptionalConditionFailsTheCall) {
  ScriptedServer server({{{{okReply()}, Then::Urgent}, {}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
  ASSERT_NE(waitFor(server.fds().at(0), POLLPRI) & POLLPRI, 0);
  EXPECT_FALSE(client.execute("Second", XmlRpcValue(1), result));
  ASSERT_EQ(server.errors.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      server.errors[0],
      std::regex(R"(Error in XmlRpcClient::handleEvent \(state 3\): error \d+\.)")));
}

// The server drops the kept connection, or resets one, at each stage of a call;
// a last call must then succeed on whatever connection is left.
TEST(ClientFault, DeadConnectionAtEachStageGivesThatStagesOutcome) {
  const Exchange ok{{okReply()}}, unanswered{{}, Then::Reset}, closed{{}, Then::Close};
  auto resetAfter = [](const std::string& text) {
    return Exchange{pieces(text, 4096), Then::Reset};
  };
  const std::string big = okReply(response("<value>" + std::string(2 << 20, 'x') + "</value>"));
  const struct {
    bool firstCall, idleReset;
    std::string error;  // none when the call succeeds
    size_t failingConnection;
    int resends;
    std::vector<Connection> script;
  } cases[] = {
      {true, false, "", 0, 1, {{ok, closed}, {ok, ok}}},
      {true, true, "", 0, 1, {{resetAfter(okReply())}, {ok, ok}}},
      {true, true, RESET_IN_HEADER, 1, 1, {{resetAfter(okReply())}, {unanswered}, {ok}}},
      {false, false, "", 0, 1, {{unanswered}, {ok, ok}}},
      {true, false, "", 0, 1, {{ok, unanswered}, {ok, ok}}},
      {false, false, RESET_IN_HEADER, 1, 1, {{unanswered}, {unanswered}, {ok}}},
      {true, false, EOF_IN_HEADER, 0, 0, {{ok, resetAfter("HTTP/1.1 200 OK\r\n")}, {ok}}},
      {false, false, EOF_IN_BODY, 0, 0, {{resetAfter(big.substr(0, 1 << 20))}, {ok}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ScriptedServer server(c.script);
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    ASSERT_TRUE(!c.firstCall || client.execute("First", XmlRpcValue(1), result));
    ASSERT_TRUE(!c.idleReset || waitFor(server.fds().at(0), POLLIN) != 0);
    EXPECT_EQ(client.execute("Faulty", XmlRpcValue(1), result), c.error.empty());
    EXPECT_EQ(result, c.error.empty() ? XmlRpcValue(7) : XmlRpcValue());
    const std::vector<std::string> errors =
        errorLines(c.error, server.fds().at(c.failingConnection));
    EXPECT_EQ(server.errors, errors);
    EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection") +
                  server.count("XmlRpcClient::writeRequest: re-trying connection"),
              c.resends);
    EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2):"), c.resends);
    EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
    EXPECT_EQ(server.errors, errors);
    EXPECT_EQ(server.accepted, static_cast<int>(c.script.size()));
  }
}

// The client meets the server's reset in the read that brings the last bytes.
TEST(ClientFault, AnswerFollowedByAResetIsKept) {
  const std::string reply = okReply();
  const size_t split = reply.find("\r\n\r\n") + 5;
  // The client reads only once the reset has reached its socket, right after logging `before`.
  const struct {
    std::vector<std::string> pieces;
    const char* before;
    std::string error;
  } cases[] = {
      {{reply}, "XmlRpcClient::writeRequest: wrote", ""},
      {{reply.substr(0, split), reply.substr(split)}, "client read content length", ""},
      {{reply.substr(0, split), reply.substr(split, 20)},
       "client read content length",
       EOF_IN_BODY},
  };
  for (const auto& c : cases) {
    ScriptedServer server({{{c.pieces, Then::ResetUnread}}, {{{okReply()}}}});
    server.onLog = [&](const char* msg) {
      if (std::string(msg).rfind(c.before, 0) == 0) {
        EXPECT_TRUE(waitUntilReset(server.fds().at(0)));
      }
    };
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_EQ(client.execute("Reset", XmlRpcValue(1), result), c.error.empty());
    EXPECT_EQ(server.errors, errorLines(c.error, -1));
    server.onLog = nullptr;
    EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
    EXPECT_EQ(server.accepted, 2);
  }
}

TEST(ClientFault, LargeRequestIntoAConnectionClosedWhileIdleIsSentAgain) {
  ScriptedServer server({{{{okReply()}, Then::Close}}, {{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
  ASSERT_NE(waitFor(server.fds().at(0), POLLIN), 0);
  EXPECT_TRUE(client.execute("Large", XmlRpcValue(std::string(3 << 20, 'x')), result));
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_GT(server.requests().back().size(), 3u << 20);
  EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2):"), 1);
  EXPECT_TRUE(server.errors.empty());
}

TEST(ClientFault, HugeTrickledMisSizedAndDeepRepliesAreReadOrRefusedCleanly) {
  std::string text, encoded, filler, deep;
  for (int i = 0; text.size() < (10u << 20); ++i) {
    text += "line " + std::to_string(i) + ": a < b && c > d\n";
    encoded += "line " + std::to_string(i) + ": a &lt; b &amp;&amp; c &gt; d\n";
  }
  for (int i = 0; filler.size() < (1u << 20); ++i)
    filler += "X-Filler-" + std::to_string(i) + ": f\r\n";
  for (int i = 0; i < 100000; ++i)
    deep += "<value><array><data>";
  const std::string length = "Content-length: " + std::to_string(BODY.size()) + "\r\n";
  auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
  };
  const std::string huge = okReply(response("<value><string>" + encoded + "</string></value>"));
  const size_t number = BODY.find("7</i4>");
  expectOneCall(join(pieces(huge.substr(0, 80), 1), pieces(huge.substr(80), 8192)), Then::Keep, "",
                text);
  expectOneCall(pieces("HTTP/1.1 200 OK\r\n" + filler + length + "\r\n" + BODY, 4096), Then::Keep,
                "");
  expectOneCall(
      pieces("HTTP/1.1 200 OK\r\nContent-length: 5\r\n" + filler + length + "\r\n" + BODY, 4096),
      Then::Keep, "");
  expectOneCall(
      {OK_HEAD + std::to_string(number) + "\r\n\r\n" + BODY.substr(0, number), BODY.substr(number)},
      Then::Keep, badResponse(" value", BODY.substr(0, number)));
  expectOneCall({"HTTP/1.1 200 OK\r\nContent-length: 2000000000\r\n\r\n" + BODY}, Then::Close,
                EOF_IN_BODY);
  ScriptedServer server({{{pieces(okReply(response(deep)), 65536)}, {{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_FALSE(client.execute("Deep", XmlRpcValue(1), result));
  ASSERT_EQ(server.errors.size(), 1u);
  EXPECT_EQ(
      server.errors[0].rfind("Error in XmlRpcClient::parseResponse: Invalid response value.", 0),
      0u);
  EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
}

TEST(ClientConnect, RefusedUnresolvedAndOutOfDescriptorsFailWithTheirLines) {
  int port = 0;
  Fd holder = bound(&port, false);
  Capture capture(4);
  XmlRpcClient refused("127.0.0.1", port), unresolved("corvane-test.invalid", 80);
  XmlRpcValue result(42);
  EXPECT_FALSE(unresolved.execute("Echo", XmlRpcValue(1), result));
  EXPECT_EQ(result, XmlRpcValue(42));
  EXPECT_FALSE(refused.execute("Echo", XmlRpcValue(1), result));
  EXPECT_EQ(refused.handleEvent(XmlRpcDispatch::EventException), 0u);
  rlimit saved, none{0, 0};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  none.rlim_max = saved.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &none);
  const bool ok = refused.execute("Echo", XmlRpcValue(1), result);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(ok);
  ASSERT_EQ(capture.errors.size(), 4u);
  EXPECT_TRUE(std::regex_match(
      capture.errors[0],
      std::regex(
          R"(Error in XmlRpcClient::doConnect: Could not connect to server \(error -?\d+\)\.)")));
  EXPECT_EQ(capture.errors[1], "Error in XmlRpcClient::writeRequest: write error (error 111).");
  EXPECT_EQ(capture.errors[2].rfind(
                "Error in XmlRpcClient::handleEvent: could not connect to server (error ", 0),
            0u);
  EXPECT_EQ(capture.errors[3],
            "Error in XmlRpcClient::doConnect: Could not create socket (error 24).");
  EXPECT_EQ(capture.count("XmlRpcClient::close: fd "),
            2);  // the socket of a failed connect is released
}

TEST(ClientReentry, NestedExecuteFromAHandlerReturnsFalseAndLeavesTheOuterCallAlone) {
  ScriptedServer server({{{{okReply()}}, {{OK_HEAD + "0\r\n\r\n" + BODY}}}, {{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  int nested = 0, succeeded = 0;
  auto nest = [&](const char*) {
    XmlRpcValue ignored;
    ++nested, succeeded += client.execute("Nested", XmlRpcValue(2), ignored);
  };
  XmlRpcValue result;
  server.onLog = [&](const char* msg) {
    if (std::string(msg).rfind("XmlRpcClient::readHeader: client", 0) == 0) nest(msg);
  };
  EXPECT_TRUE(client.execute("FromLog", XmlRpcValue(1), result));
  server.onLog = nullptr;
  server.onError = nest;
  EXPECT_FALSE(client.execute("FromError", XmlRpcValue(1), result));
  server.onError = nullptr;
  EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
  EXPECT_GE(nested, 2);
  EXPECT_EQ(succeeded, 0);
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Nested (_connectionState 3)."), nested);
  EXPECT_EQ(server.errors, std::vector<std::string>{invalidLength(0)});
  for (const std::string& r : server.requests())
    EXPECT_EQ(r.find("Nested"), std::string::npos);
}

TEST(ClientWait, ServerThatNeverAnswersKeepsExecuteWaiting) {
  int port = 0;
  Fd listener = bound(&port);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    XmlRpcClient client("127.0.0.1", port);
    XmlRpcValue result;
    ::_exit(client.execute("Wait", XmlRpcValue(1), result) ? 0 : 1);
  }
  Fd connection = acceptFrom(listener.fd);
  EXPECT_NE(waitFor(connection.fd, POLLIN), 0);
  ::usleep(300 * 1000);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Creating the client fails while allocation fails: the proxy tries ten times in all.
int failingAllocations = 0;

TEST(Proxy, RefusesCallsUntilAClientExistsAndTriesTenTimesToMakeOne) {
  ScriptedServer server({{{{okReply()}}}});
  const std::string port = std::to_string(server.port());
  TRpcSrv proxy;
  EXPECT_EQ(proxy.SetBoot("pxe", "00:11"), -1);
  EXPECT_EQ(proxy.RPCSrvConnect(nullptr, port.c_str()), -1);
  EXPECT_EQ(proxy.RPCSrvConnect("127.0.0.1", nullptr), -1);
  for (int failures : {10, 9}) {
    TRpcSrv failing;
    failingAllocations = failures;
    EXPECT_EQ(failing.RPCSrvConnect("127.0.0.1", port.c_str()), failures == 10 ? -1 : 1);
    failingAllocations = 0;
  }
  EXPECT_EQ(proxy.RPCSrvConnect("127.0.0.1", port.c_str()), 1);
  EXPECT_EQ(proxy.RPCSrvConnect("127.0.0.1", "1"), 1);  // keeps the first client
  EXPECT_EQ(proxy.SetDHCP("2", "00:11", "10.0.0.9"), 0);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_NE(server.requests()[0].find("<value>2</value></param><param><value>00:11</value>"),
            std::string::npos);
  EXPECT_TRUE(server.errors.empty());
}

}  // namespace

void* operator new(size_t size) {
  if (failingAllocations > 0 && failingAllocations-- > 0) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
