// The client against scripted servers on 127.0.0.1 and against Python's own XML-RPC server:
// the bytes of each request, every kind of response and its error line, the kept connection
// and its one resend, injected faults, time limits, and the rpcset proxy.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <csignal>

#include "TRpcSrv.h"
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

std::string response(const std::string& valueXml) {
  return "<methodResponse><params><param>" + valueXml + "</param></params></methodResponse>";
}
// The one error line expected, with the descriptor of the connection it names; none for "".
std::vector<std::string> lines(const std::string& line, int fd = -1) {
  if (line.empty()) return {};
  return {line + (line == RESET_HEADER ? std::to_string(fd) + "." : "")};
}

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

// A new client's call to a server that sends `reply` then does `then`: it gives 7, or
// fails with the one error line `error`. A second call follows on the kept connection
// after a completed reply, else on a new one; its reply is chunked after a chunked one,
// else it runs until the server closes.
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
  EXPECT_EQ(server.errors, lines(error, server.fd(0)));
  EXPECT_TRUE(client.execute("Echo", 1, result) && result == SEVEN &&
              server.accepted == (kept ? 1 : 2));
}

TEST(ClientRequest, EachCallIsSentByteForByte) {
  XmlRpcValue pair, empty, hole;
  pair[0] = "alpha", pair[1] = "beta", empty.setSize(0), hole[1] = 5;
  const struct {
    const char *uri, *method;
    XmlRpcValue params;
    std::string paramsXml;
  } cases[] = {
      {nullptr, "SetBOOT", pair,
       "<params><param><value>alpha</value></param><param><value>beta</value></param></params>"},
      {nullptr, "NoParams", XmlRpcValue(), ""},
      {nullptr, "EmptyArray", empty, "<params></params>"},
      {nullptr, "a<b&", hole,
       "<params><param></param><param><value><i4>5</i4></value></param></params>"},
      {"/x?y=1", "NotAnArray", "a<b", "<params><param><value>a&lt;b</value></param></params>"}};
  for (const auto& c : cases) {
    ScriptedServer server({{{{okReply()}}}});
    XmlRpcValue result;
    EXPECT_TRUE(
        XmlRpcClient("127.0.0.1", server.port(), c.uri).execute(c.method, c.params, result));
    const std::string body = "<?xml version=\"1.0\"?>\r\n<methodCall><methodName>" +
                             std::string(c.method) + "</methodName>\r\n" + c.paramsXml +
                             "</methodCall>\r\n";
    EXPECT_EQ(server.requests().at(0),
              "POST " + std::string(c.uri ? c.uri : "/RPC2") +
                  " HTTP/1.1\r\nUser-Agent: CORVANE 0.7\r\nHost: 127.0.0.1:" +
                  std::to_string(server.port()) + "\r\nContent-Type: text/xml\r\n" +
                  "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(body.size() == 170, c.params == pair);  // the worked example is 170 bytes
  }
}

// Every reply is sent in one write and one byte at a time.
TEST(ClientResponse, EachReplyGivesItsOutcomeWhateverTheReadSizes) {
  const std::string n = std::to_string(BODY.size()),
                    cut = okReply().substr(0, okReply().size() - 9);
  const std::string h = "HTTP/1.1 200 OK\r\n", chunks = h + "Transfer-Encoding: chunked\r\n\r\n",
                    chunkError = "Error in XmlRpcClient::readResponse: malformed chunked body (",
                    w[] = {"<MethodResponse><params><param><value>7</value></param>",
                           "<methodResponse><params></params></methodResponse>",
                           "<methodResponse><params><param><i4>7</i4></param>"};
  // clang-format off
  const struct { std::string reply; Then then; std::string error; } cases[] = {
      {okReply(), Then::Keep, ""},
      {h + "Content-length: " + n + "\n\n" + BODY, Then::Keep, ""},
      {h + "CONTENT-LENGTH: 3\r\ncontent-Length: " + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {"HTTP/1.1 500 Error\r\nX-Content-length: " + n + "\r\n\r\n" + BODY + "<junk/>", Then::Keep, ""},
      {okReply("junk <methodResponse>\r\n <params>\n\t<param>\r\n <value><i4>7</i4></value>"), Then::Keep, ""},
      {h + "Content-length:" + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {h + "Content-length:\t \t" + n + "\r\n\r\n" + BODY, Then::Keep, ""},
      {h + "Content-Type: text/xml\r\n\r\n" + BODY, Then::Close, ""},
      {chunks + chunked(25), Then::Keep, ""},
      {h + "transfer-encoding:\tCHUNKED \r\n\r\n" + chunked(1), Then::Keep, ""},
      {h + "Content-length: 5\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(26, "", "", "%zX"), Then::Keep, ""},
      {chunks + chunked(15, " ;a=b;c=\"d;e\"", "X-Sum: 1\r\nX-More: 2\r\n") + "junk", Then::Keep, ""},
      {chunks + "1g\r\n" + BODY, Then::Keep, chunkError + "bad chunk size)."},
      {chunks + "80000000\r\n", Then::Keep, chunkError + "chunk size too large)."},
      {chunks + "3\r\nabcd\r\n", Then::Keep, chunkError + "no line end after chunk data)."},
      {chunks + chunked(40).substr(0, 60), Then::Close, EOF_BODY},
      {h + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(40), Then::Keep,
       "Error in XmlRpcClient::readHeader: unsupported Transfer-Encoding (gzip, chunked)."},
      {h + "Content-length: \r\n\r\n" + n + BODY, Then::Keep, INVALID + "0)."},
      {OK_HEAD + "ten\r\n\r\n" + BODY, Then::Keep, INVALID + "0)."},
      {OK_HEAD + "-5\r\n\r\n" + BODY, Then::Keep, INVALID + "-5)."},
      {OK_HEAD + n + "\r\nContent-length: 0\r\n\r\n" + BODY, Then::Keep, INVALID + "0)."},
      {OK_HEAD + "4294967388\r\n\r\n" + BODY, Then::Close, EOF_BODY},
      {h + "Content-le", Then::Close, EOF_HEADER}, {OK_HEAD + n + "\r\n\r\n", Then::Close, EOF_HEADER},
      {h + "Content-length: " + n + "\n\n", Then::Close, EOF_HEADER}, {h, Then::Reset, EOF_HEADER},
      {cut, Then::Close, EOF_BODY}, {cut, Then::Reset, EOF_BODY},
      {okReply("<methodCall/>"), Then::Keep, BAD + " - no methodResponse. Response:\n<methodCall/>"},
      {okReply(w[0]), Then::Keep, BAD + " - no methodResponse. Response:\n" + w[0]},
      {okReply(w[1]), Then::Keep, BAD + " - no param or fault tag. Response:\n" + w[1]},
      {okReply(w[2]), Then::Keep, BAD + " value. Response:\n" + w[2]}};
  // clang-format on
  for (const auto& c : cases)
    for (size_t size : {c.reply.size(), size_t{1}}) {
      SCOPED_TRACE(c.reply.substr(0, 60) + " in pieces of " + std::to_string(size));
      expectOneCall(pieces(c.reply, size), c.then, c.error,
                    c.reply.find("hunked\r\n") != std::string::npos);
    }
}

// A fault, two calls on the kept connection (the later header shorter), then the destructor
// closes it; after an end of file seen with the reply, or after a failure, a call connects anew.
TEST(ClientConnection, KeptConnectionCarriesTheNextCallsUntilAnEndOfFileOrAFailure) {
  const std::string fault =
      "<methodResponse><fault><value><struct><member><name>faultCode</name>"
      "<value><int>4</int></value></member></struct></value></fault>";
  ScriptedServer server(
      {{{{okReply(fault)}},
        {{"HTTP/1.1 200 OK\r\nX: " + std::string(300, 'p') + "\r\n" + okReply().substr(17)}},
        {{okReply()}}}});
  {
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result, expected;
    expected["faultCode"] = 4;
    EXPECT_TRUE(client.execute("Fail", 1, result) && client.isFault() && result == expected);
    EXPECT_TRUE(client.execute("Echo", 1, result) && !client.isFault() && result == SEVEN);
    EXPECT_TRUE(client.execute("Echo", 1, result) && result == SEVEN);
    EXPECT_EQ(client.handleEvent(XmlRpcDispatch::EventException), 0u);
  }
  server.finish();
  EXPECT_TRUE(server.accepted == 1 && server.closedByClient == 1);
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Echo (_connectionState 5)."), 2);
  EXPECT_EQ(server.errors.at(0).rfind("Error in XmlRpcClient::handleEvent (state 5): error ", 0),
            0u);
  for (const std::string& first : {okReply(), OK_HEAD + "0\r\n\r\n" + BODY}) {
    ScriptedServer anew({{{{first}, Then::CloseEarly}}, {{{okReply()}}}});
    XmlRpcClient client("127.0.0.1", anew.port());
    XmlRpcValue result;
    EXPECT_EQ(client.execute("First", 1, result), first == okReply());
    EXPECT_TRUE(client.execute("Second", 1, result) && anew.accepted == 2);
    EXPECT_EQ(anew.count("XmlRpcClient::close: fd " + std::to_string(anew.fd(0)) + "."), 1);
    EXPECT_EQ(anew.count("XmlRpcClient::writeRequest (attempt 2)"), 0);
  }
}

// The server drops or resets a connection at each stage of a call; a last call must then
// succeed on whatever connection is left.
TEST(ClientFault, DeadConnectionAtEachStageGivesThatStagesOutcome) {
  const Exchange ok{{okReply()}}, unanswered{{}, Then::Reset}, closed{{}, Then::Close};
  auto resetAfter = [](const std::string& text) {
    return Exchange{pieces(text, 4096), Then::Reset};
  };
  const std::string big = okReply(response("<value>" + std::string(2 << 20, 'x') + "</value>"));
  // clang-format off
  const struct {
    bool firstCall, idleReset;
    std::string error;  // none when the call succeeds
    int failing, resends;  // the connection the error names, and how many resends came
    std::vector<Connection> script;
  } cases[] = {{true, false, "", 0, 1, {{ok, closed}, {ok, ok}}},
               {true, true, "", 0, 1, {{resetAfter(okReply())}, {ok, ok}}},
               {true, true, RESET_HEADER, 1, 1, {{resetAfter(okReply())}, {unanswered}, {ok}}},
               {false, false, "", 0, 1, {{unanswered}, {ok, ok}}},
               {false, false, RESET_HEADER, 1, 1, {{unanswered}, {unanswered}, {ok}}},
               {true, false, EOF_HEADER, 0, 0, {{ok, resetAfter("HTTP/1.1 200 OK\r\n")}, {ok}}},
               {false, false, EOF_BODY, 0, 0, {{resetAfter(big.substr(0, 1 << 20))}, {ok}}}};
  // clang-format on
  for (const auto& c : cases) {
    ScriptedServer server(c.script);
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    ASSERT_TRUE(!c.firstCall || client.execute("First", 1, result));
    ASSERT_TRUE(!c.idleReset || waitFor(server.fd(0), POLLIN) != 0);
    EXPECT_EQ(client.execute("Faulty", 1, result), c.error.empty());
    EXPECT_EQ(result, c.error.empty() ? SEVEN : XmlRpcValue());
    EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2):"), c.resends);
    EXPECT_TRUE(client.execute("After", 1, result));
    EXPECT_EQ(server.errors, lines(c.error, server.fd(c.failing)));
    EXPECT_EQ(server.accepted, static_cast<int>(c.script.size()));
  }
}

// The client meets the server's reset in the read that brings the last bytes: it reads only
// once the reset has reached its socket, right after logging `before`.
TEST(ClientFault, AnswerFollowedByAResetIsKept) {
  const std::string reply = okReply(), header = reply.substr(0, reply.find("\r\n\r\n") + 5);
  const struct {
    std::vector<std::string> reply;
    const char* before;
    std::string error;
  } cases[] = {{{reply}, "XmlRpcClient::writeRequest: wrote", ""},
               {{header, reply.substr(header.size())}, "client read content length", ""},
               {{header, reply.substr(header.size(), 20)}, "client read content length", EOF_BODY}};
  for (const auto& c : cases) {
    ScriptedServer server({{{c.reply, Then::ResetUnread}}, {{{okReply()}}}});
    server.onLog = [&](const char* msg) {
      tcp_info info{};
      socklen_t len = sizeof(info);
      for (int ms = 0; std::string(msg).rfind(c.before, 0) == 0 && ms < WAIT_MS;
           ++ms, ::usleep(1000))
        if (::getsockopt(server.fd(0), IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
            info.tcpi_state == TCP_CLOSE)
          break;
    };
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_EQ(client.execute("Reset", 1, result), c.error.empty());
    EXPECT_EQ(server.errors, lines(c.error));
    server.onLog = nullptr;
    EXPECT_TRUE(client.execute("After", 1, result) && server.accepted == 2);
    EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2)"),
              0);  // the reset closed the connection
  }
}

TEST(ClientFault, LargeRequestIntoAConnectionClosedWhileIdleIsSentAgain) {
  ScriptedServer server({{{{okReply()}, Then::Close}}, {{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", 1, result) && waitFor(server.fd(0), POLLIN) != 0);
  EXPECT_TRUE(client.execute("Large", std::string(3 << 20, 'x'), result));
  const std::string sent = server.requests().at(1);  // written in many pieces, each in its place
  EXPECT_TRUE(sent.find("<value>" + std::string(3 << 20, 'x') +
                        "</value></param></params></methodCall>\r\n") ==
              sent.size() - (3 << 20) - 47);
  EXPECT_EQ(server.count("XmlRpcClient::writeRequest (attempt 2):"), 1);
  EXPECT_TRUE(server.errors.empty());
}

TEST(ClientConnect, UnresolvedRefusedAndOutOfDescriptorsFailWithTheirLines) {
  int port = 0;
  Fd holder = bound(&port, false);
  Capture capture(4);
  XmlRpcClient refused("127.0.0.1", port), unresolved("corvane-test.invalid", 80);
  XmlRpcValue result(42);
  EXPECT_FALSE(unresolved.execute("Echo", 1, result) || result != XmlRpcValue(42));
  EXPECT_FALSE(refused.execute("Echo", 1, result));
  EXPECT_EQ(refused.handleEvent(XmlRpcDispatch::EventException), 0u);
  rlimit saved, none{0, 0};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  none.rlim_max = saved.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &none);
  const bool ok = refused.execute("Echo", 1, result);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(ok);
  ASSERT_EQ(capture.errors.size(), 4u);
  EXPECT_EQ(capture.errors[0].rfind(
                "Error in XmlRpcClient::doConnect: Could not connect to server (error ", 0),
            0u);
  EXPECT_EQ(capture.errors[1], "Error in XmlRpcClient::writeRequest: write error (error 111).");
  EXPECT_EQ(capture.errors[2].rfind(
                "Error in XmlRpcClient::handleEvent: could not connect to server (", 0),
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
  server.onLog = server.onError = [&](const char* msg) {
    XmlRpcValue ignored;
    if (msg[0] == 'E' || std::string(msg).rfind("XmlRpcClient::readHeader: client", 0) == 0)
      ++nested, succeeded += client.execute("Nested", 2, ignored);
  };
  XmlRpcValue result;
  EXPECT_TRUE(client.execute("FromLog", 1, result) && !client.execute("FromError", 1, result));
  server.onLog = server.onError = nullptr;
  EXPECT_TRUE(client.execute("After", 1, result) && nested >= 3 && succeeded == 0);
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Nested (_connectionState 3)."), nested);
  EXPECT_EQ(server.errors, std::vector<std::string>{INVALID + "0)."});
  EXPECT_EQ(server.requests().size(), 3u);
}

// A silent server, one that trickles a byte every 5 ms, one that answers in time, and one
// whose reply ends after the limit, followed by a second call.
TEST(ClientTimeout, ALateCallEndsAtItsLimitAndTheNextOneGetsItsOwnAnswer) {
  const std::string late =
      "Error in XmlRpcClient::execute: no response within the time limit (0.3 s).";
  const struct {
    double limit;
    std::vector<Connection> script;
  } cases[] = {
      {0.3, {{{{}}}}},
      {0.3, {{{pieces(okReply()), Then::Keep, 5}}}},
      {2.0, {{{{okReply()}, Then::Keep, 200}}}},
      {0.3, {{{{okReply().substr(0, 9), okReply().substr(9)}, Then::Keep, 200}}, {{{okReply()}}}}}};
  for (const auto& c : cases) {
    ScriptedServer server(c.script);
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.execute("Echo", 1, result, c.limit), c.limit > 1);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(took >= (c.limit > 1 ? 0.2 : c.limit) && took < 3 * c.limit) << took;
    EXPECT_EQ(result, c.limit > 1 ? SEVEN : XmlRpcValue());
    EXPECT_EQ(server.errors, lines(c.limit > 1 ? "" : late));
    if (c.script.size() == 1 && c.limit < 1) server.finish();  // the timed-out client has closed
    EXPECT_EQ(server.closedByClient, c.script.size() == 1 && c.limit < 1);
    EXPECT_TRUE(c.script.size() == 1 ||
                (client.execute("Echo", 2, result, 5.0) && server.accepted == 2));
  }
}

// Python's own server sends every value back in its own XML: typed strings and ints, its
// booleans, doubles, dates, line-broken base64, structs; and faults an unknown method.
TEST(Interop, PythonServerEchoesEveryValueType) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL), ::dup2(out[1], 1);
    ::execl(CORVANE_PYTHON, CORVANE_PYTHON, "-c",
            "from xmlrpc.server import SimpleXMLRPCServer as S\ns = S(('127.0.0.1', 0), "
            "logRequests=False)\n"
            "s.register_function(lambda v: v, 'echo')\nprint(s.server_address[1], "
            "flush=True)\ns.serve_forever()",
            nullptr);
    ::_exit(127);
  }
  char port[16] = {};
  ::close(out[1]);
  ASSERT_TRUE(waitFor(out[0], POLLIN) && ::read(out[0], port, sizeof(port) - 1) > 0);
  tm when{};
  when.tm_year = 2024, when.tm_mon = 2, when.tm_mday = 29, when.tm_hour = 13;
  std::string bytes(300, '\0'), longText;
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 37);
  while (longText.size() < 10000)
    longText += "<tag attr='x'> & \"quoted\" caf\xc3\xa9\n";
  XmlRpcValue record, emptyArray, emptyStruct, result;
  emptyArray.setSize(0), record["list"][0] = 2.5, record["list"][1] = "two",
                         record["inner"]["none"] = emptyArray;
  record["inner"]["deep"] = false;
  int offset = 0;
  emptyStruct.fromXml("<value><struct></struct></value>", &offset);
  const XmlRpcValue values[] = {true,     -7,         INT_MAX,
                                INT_MIN,  -0.125,     "",
                                longText, &when,      XmlRpcValue(&bytes[0], 300),
                                record,   emptyArray, emptyStruct};
  Capture capture(3);
  XmlRpcClient client("127.0.0.1", std::atoi(port));
  for (const XmlRpcValue& value : values) {
    XmlRpcValue params;
    params[0] = value;
    EXPECT_TRUE(client.execute("echo", params, result) && !client.isFault() && result == value)
        << value.toXml();
  }
  EXPECT_TRUE(client.execute("nosuch", 1, result) && client.isFault() &&
              result["faultCode"] == XmlRpcValue(1));
  EXPECT_NE(static_cast<std::string&>(result["faultString"]).find("\"nosuch\" is not supported"),
            std::string::npos);
  EXPECT_EQ(capture.count("XmlRpcClient::doConnect: fd "), 13);  // the peer closes after each reply
  ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

int failingAllocations = 0;  // while above 0, allocations fail: the proxy's client cannot be made

TEST(Proxy, RefusesCallsUntilAClientExistsAndTriesTenTimesToMakeOne) {
  ScriptedServer server({{{{okReply()}}}});
  const std::string port = std::to_string(server.port());
  TRpcSrv proxy;
  EXPECT_EQ(proxy.SetBoot("pxe", "00:11"), -1);
  EXPECT_EQ(proxy.RPCSrvConnect(nullptr, port.c_str()) + proxy.RPCSrvConnect("127.0.0.1", nullptr),
            -2);
  for (int failures : {10, 9}) {
    TRpcSrv failing;
    failingAllocations = failures;
    EXPECT_EQ(failing.RPCSrvConnect("127.0.0.1", port.c_str()), failures == 10 ? -1 : 1);
    failingAllocations = 0;
    EXPECT_TRUE(failures == 9 || failing.SetBoot("pxe", "00:11") == -1);
  }
  EXPECT_EQ(proxy.RPCSrvConnect("localhost", port.c_str()) + proxy.RPCSrvConnect("127.0.0.1", "1"),
            2);
  EXPECT_EQ(proxy.SetDHCP("2", "00:11", "10.0.0.9"), 0);  // through the first client
  EXPECT_NE(server.requests().at(0).find("<value>2</value></param><param><value>00:11</value>"),
            std::string::npos);
}

}  // namespace

void* operator new(size_t size) {
  void* p =
      failingAllocations > 0 && failingAllocations-- > 0 ? nullptr : std::malloc(size ? size : 1);
  return p ? p : throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
