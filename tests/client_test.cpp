// Tests of the client call engine against scripted servers on 127.0.0.1: the
// bytes of each request, the reading of every kind of response, the kept
// connection and its one retry, and what each path reports.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "XmlRpcClient.h"
#include "XmlRpcSocket.h"
#include "XmlRpcValue.h"
#include "scripted_server.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

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
      {"reset in the header ends it as end of file does", "HTTP/1.1 200 OK\r\n", Then::Reset,
       EOF_IN_HEADER},
      {"end of file in the body", cut, Then::Close, EOF_IN_BODY},
      {"reset in the body ends it as end of file does", cut, Then::Reset, EOF_IN_BODY},
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
      expectOneCall(trickle(c.reply, {}, byteByByte ? 1 : c.reply.size()), c.then, c.error);
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
  EXPECT_EQ(server.count("XmlRpcClient::close: fd "), 1);
  EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection"), 0);
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
  EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection"), 1);
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
  EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection"), 1);
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
  EXPECT_EQ(log.count("XmlRpcClient::close: fd "),
            1);  // the socket made for the connect is released
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
  EXPECT_EQ(server.count("XmlRpcClient::execute: method Nested (_connectionState 3)."),
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
