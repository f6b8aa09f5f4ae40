// Faults injected by scripted servers on 127.0.0.1: connections reset at each
// stage of a call, replies of many megabytes trickled in small pieces, a huge
// header, deep nesting, and bodies that disagree with their Content-length.
#include <gtest/gtest.h>

#include "XmlRpcClient.h"
#include "XmlRpcValue.h"
#include "scripted_server.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

constexpr int LIMIT = XmlRpcValue::MAX_NESTING_DEPTH;
const std::string BAD_VALUE = "Error in XmlRpcClient::parseResponse: Invalid response value";

std::string response(const std::string& valueXml) {
  return "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param>" + valueXml +
         "</param></params></methodResponse>\r\n";
}

// `depth` arrays (or structs) around `inner`.
std::string nested(int depth, const std::string& inner, bool structs = false) {
  std::string xml;
  for (int i = 0; i < depth; ++i)
    xml += structs ? "<value><struct><member><name>m</name>" : "<value><array><data>";
  xml += inner;
  for (int i = 0; i < depth; ++i)
    xml += structs ? "</member></struct></value>" : "</data></array></value>";
  return xml;
}

template <typename... C>
std::vector<Connection> script(C... connections) {
  return {connections...};
}

}  // namespace

// Every case ends with a call that must succeed on whatever connection is left:
// a fault leaves nothing behind that spoils the next call.
TEST(ClientFault, ResetAtEachStageGivesThatStagesOutcome) {
  const std::string twoMegabytes =
      withLength(OK_HEAD, response("<value>" + std::string(2 << 20, 'x') + "</value>"));
  struct Case {
    const char* name;
    bool firstCall;     // a call before, so that the faulty one runs on a kept connection
    bool resetIdle;     // that connection is reset while idle, before the faulty call
    std::string error;  // none when the faulty call succeeds
    size_t failingConnection;
    int retries;
    std::vector<Connection> script;
  };
  const Exchange ok{{okReply()}};
  const Exchange resetUnanswered{{}, Then::Reset};
  // `text` sent in pieces of a few KB, then the connection reset.
  auto resetAfter = [](const std::string& text) { return Exchange{trickle(text), Then::Reset}; };
  const Case cases[] = {
      {"kept connection reset while idle: the write is sent again", true, true, "", 0, 1,
       script(Connection{resetAfter(okReply())}, Connection{ok, ok})},
      {"kept connection reset while idle, the fresh one reset unanswered", true, true,
       RESET_IN_HEADER, 1, 1,
       script(Connection{resetAfter(okReply())}, Connection{resetUnanswered}, Connection{ok})},
      {"reset once the request is read: the retry is answered", false, false, "", 0, 1,
       script(Connection{resetUnanswered}, Connection{ok, ok})},
      {"kept connection reset once the request is read: the retry is answered", true, false, "", 0,
       1, script(Connection{ok, resetUnanswered}, Connection{ok, ok})},
      {"reset once the request is read, on both attempts", false, false, RESET_IN_HEADER, 1, 1,
       script(Connection{resetUnanswered}, Connection{resetUnanswered}, Connection{ok})},
      {"reset mid-header", false, false, EOF_IN_HEADER, 0, 0,
       script(Connection{resetAfter("HTTP/1.1 200 OK\r\nContent-")}, Connection{ok})},
      {"reset mid-header on a kept connection: no retry once bytes came", true, false,
       EOF_IN_HEADER, 0, 0,
       script(Connection{ok, resetAfter("HTTP/1.1 200 OK\r\n")}, Connection{ok})},
      {"reset right after the blank line: the header is not complete yet", false, false,
       EOF_IN_HEADER, 0, 0,
       script(Connection{resetAfter(OK_HEAD + std::to_string(BODY.size()) + "\r\n\r\n")},
              Connection{ok})},
      {"reset mid-body", false, false, EOF_IN_BODY, 0, 0,
       script(Connection{resetAfter(okReply().substr(0, okReply().size() - 9))}, Connection{ok})},
      {"reset mid-body after a megabyte", false, false, EOF_IN_BODY, 0, 0,
       script(Connection{resetAfter(twoMegabytes.substr(0, 1 << 20))}, Connection{ok})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    if (c.firstCall) {
      ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
    }
    if (c.resetIdle) {
      ASSERT_NE(waitFor(server.connectFds().at(0), POLLIN), 0);
    }
    EXPECT_EQ(client.execute("Faulty", XmlRpcValue(1), result), c.error.empty());
    EXPECT_EQ(result, c.error.empty() ? XmlRpcValue(7) : XmlRpcValue());
    const std::vector<int> fds = server.connectFds();
    ASSERT_GT(fds.size(), c.failingConnection);
    const std::vector<std::string> errors = errorsFor(c.error, fds[c.failingConnection]);
    EXPECT_EQ(server.errors(), errors);
    EXPECT_EQ(server.count("XmlRpcClient::readHeader: re-trying connection") +
                  server.count("XmlRpcClient::writeRequest: re-trying connection"),
              c.retries);

    EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
    EXPECT_EQ(result, XmlRpcValue(7));
    EXPECT_EQ(server.errors(), errors);
    EXPECT_EQ(server.accepted(), static_cast<int>(c.script.size()));
  }
}

// One payload at a time, and only the pieces kept of its text, so that memory stays modest.
TEST(ClientFault, TenMegabyteBodiesTrickledInSmallPiecesDecode) {
  for (bool asArray : {false, true}) {
    SCOPED_TRACE(asArray ? "an array of strings" : "a string with entities");
    XmlRpcValue expected;
    std::vector<std::string> pieces;
    {
      std::string valueXml, text;
      if (asArray) {
        expected.setSize(80000);  // set at once: growing one element at a time is quadratic
        valueXml = "<value><array><data>";
        for (int i = 0; i < expected.size(); ++i) {
          expected[i] = "item " + std::to_string(i) + std::string(100, '.');
          valueXml += "<value>" + std::string(expected[i]) + "</value>";
        }
        valueXml += "</data></array></value>";
      } else {
        valueXml = "<value><string>";
        for (int i = 0; text.size() < (10u << 20); ++i) {
          text += "line " + std::to_string(i) + ": a < b && c > d\n";
          valueXml += "line " + std::to_string(i) + ": a &lt; b &amp;&amp; c &gt; d\n";
        }
        valueXml += "</string></value>";
        expected = text;
      }
      const std::string reply = withLength(OK_HEAD, response(valueXml));
      pieces = trickle(reply, {reply.find("\r\n\r\n")});
    }
    expectOneCall(std::move(pieces), Then::Keep, "", expected);
  }
}

TEST(ClientFault, MegabyteHeaderIsReadWhereverItsLengthFieldIs) {
  std::string filler;
  for (int i = 0; filler.size() < (1u << 20); ++i)
    filler += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'f') + "\r\n";
  const std::string length = "Content-length: " + std::to_string(BODY.size()) + "\r\n";
  const struct {
    const char* name;
    std::string header;
  } cases[] = {
      {"at the end", "HTTP/1.1 200 OK\r\n" + filler + length},
      {"at the start", "HTTP/1.1 200 OK\r\n" + length + filler},
      {"a wrong one at the start, the right one at the end",
       "HTTP/1.1 200 OK\r\nContent-length: 5\r\n" + filler + length},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = c.header + "\r\n" + BODY;
    expectOneCall(trickle(reply, {reply.find(length), c.header.size()}), Then::Keep, "");
  }
}

// The next call on the same connection decodes a container again: a refusal
// to go deeper is not remembered past the response that met it.
TEST(ClientFault, MegabytesNestedBeyondTheLimitFailWithoutOverflowingTheStack) {
  std::string shallow;
  for (int i = 0; shallow.size() < (2u << 20); ++i)
    shallow += "<value><i4>" + std::to_string(i) + "</i4></value>";
  const std::string one = "<value><i4>1</i4></value>";
  const std::string cases[] = {
      nested(100000, one),
      nested(60000, one, true),
      nested(1, shallow + nested(LIMIT, one)),
  };
  const std::string array7 = "<value><array><data><value><i4>7</i4></value></data></array></value>";
  XmlRpcValue array7Value;
  array7Value[0] = 7;
  for (const std::string& valueXml : cases) {
    SCOPED_TRACE(valueXml.substr(0, 60));
    const std::string body = response(valueXml);
    ScriptedServer server({Connection{Exchange{trickle(withLength(OK_HEAD, body), {}, 65536)},
                                      Exchange{{okReply(response(array7))}}}});
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_FALSE(client.execute("Deep", XmlRpcValue(1), result));
    EXPECT_FALSE(result.valid());
    ASSERT_EQ(server.errors().size(), 1u);
    const std::string& error = server.errors()[0];
    EXPECT_TRUE(startsWith(BAD_VALUE + ". Response:\n" + body, error)) << error.substr(0, 200);
    EXPECT_GT(error.size(), BAD_VALUE.size() + 100);

    EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
    EXPECT_EQ(result, array7Value);
    EXPECT_EQ(server.accepted(), 1);
  }
}

TEST(ClientFault, MegabytesNestedWithinTheLimitDecode) {
  // Each element of the outer array is at the limit.
  XmlRpcValue deep;
  deep.setSize(100);
  std::string deepXml = "<value><array><data>";
  for (int i = 0; i < deep.size(); ++i) {
    XmlRpcValue* v = &deep[i];
    for (int depth = 1; depth < LIMIT; ++depth)
      v = &(*v)[0];
    *v = i;
    deepXml += nested(LIMIT - 1, "<value><i4>" + std::to_string(i) + "</i4></value>");
  }
  deepXml += "</data></array></value>";

  XmlRpcValue structs;
  structs.setSize(25000);
  std::string structsXml = "<value><array><data>";
  for (int i = 0; i < structs.size(); ++i) {
    const std::string n = std::to_string(i);
    structs[i]["name"] = "n" + n;
    structs[i]["id"] = i;
    structs[i]["tags"][0] = "t" + n;
    structsXml += "<value><struct><member><name>name</name><value>n" + n +
                  "</value></member><member><name>id</name><value><i4>" + n +
                  "</i4></value></member><member><name>tags</name><value><array><data><value>t" +
                  n + "</value></data></array></value></member></struct></value>";
  }
  structsXml += "</data></array></value>";

  for (const auto* c : {&deep, &structs}) {
    SCOPED_TRACE(c == &deep ? "deep arrays" : "wide array of structs");
    const std::string& xml = c == &deep ? deepXml : structsXml;
    expectOneCall(trickle(withLength(OK_HEAD, response(xml)), {}, 65536), Then::Keep, "", *c);
  }
}

TEST(ClientFault, BodyOfAnotherSizeThanAnnouncedIsReadUpToTheAnnouncedLength) {
  const size_t afterNumber = BODY.find("</i4>");
  const size_t beforeNumber = BODY.find("7</i4>");
  // The body's first `n` bytes announced and sent, the rest sent once they are read.
  auto announcing = [](size_t n) {
    return std::vector<std::string>{OK_HEAD + std::to_string(n) + "\r\n\r\n" + BODY.substr(0, n),
                                    BODY.substr(n)};
  };
  const std::string big = response("<value>" + std::string(1 << 20, 'b') + "</value>");
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    Then then;
    std::string error;  // none for a result of 7
  };
  const Case cases[] = {
      {"more bytes in the same piece", trickle(okReply() + std::string(3000, 'z') + "</junk>"),
       Then::Keep, ""},
      {"announced length ends after the number: the closing tags are never read",
       announcing(afterNumber), Then::Keep, ""},
      {"announced length ends before the number", announcing(beforeNumber), Then::Keep,
       BAD_VALUE + ". Response:\n" + BODY.substr(0, beforeNumber)},
      {"fewer bytes, then close", trickle(withLength(OK_HEAD, big).substr(0, big.size() / 2)),
       Then::Close, EOF_IN_BODY},
      {"Content-length far beyond the body, then close",
       trickle("HTTP/1.1 200 OK\r\nContent-length: 2000000000\r\n\r\n" + BODY), Then::Close,
       EOF_IN_BODY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectOneCall(c.pieces, c.then, c.error);
  }
}

// The server resets right after answering, and the client meets the reset in
// the read that brings the last bytes: what arrived before it decides.
TEST(ClientFault, AnswerFollowedByAResetIsKept) {
  const std::string reply = okReply();
  const size_t split = reply.find("\r\n\r\n") + 5;
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    const char* lastLogBeforeTheRead;
    std::string error;
  };
  const Case cases[] = {
      {"with the whole answer", {reply}, "XmlRpcClient::writeRequest: wrote", ""},
      {"in a read after the header",
       {reply.substr(0, split), reply.substr(split)},
       "XmlRpcSocket::nbRead: read/recv returned -1.",
       ""},
      {"with the body still short",
       {reply.substr(0, split), reply.substr(split, 20)},
       "XmlRpcSocket::nbRead: read/recv returned -1.",
       EOF_IN_BODY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(
        {Connection{Exchange{c.pieces, Then::ResetUnread}}, Connection{{{okReply()}}}});
    // The client reads only once the reset has reached its socket, after the last piece.
    size_t logged = 0;
    server.onLog = [&](const char* msg) {
      if (startsWith(msg, c.lastLogBeforeTheRead) && ++logged == c.pieces.size()) {
        EXPECT_TRUE(waitUntilReset(server.connectFds().at(0)));
      }
    };
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_EQ(client.execute("Reset", XmlRpcValue(1), result), c.error.empty());
    EXPECT_EQ(server.errors(), errorsFor(c.error));
    server.onLog = nullptr;
    // The connection counts as closed: the next call connects anew.
    EXPECT_TRUE(client.execute("After", XmlRpcValue(1), result));
    EXPECT_EQ(server.accepted(), 2);
  }
}

TEST(ClientFault, LargeRequestIntoAConnectionClosedWhileIdleIsSentAgain) {
  ScriptedServer server(
      {Connection{Exchange{{okReply()}, Then::Close}}, Connection{{{okReply()}}}});
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("First", XmlRpcValue(1), result));
  ASSERT_NE(waitFor(server.connectFds().at(0), POLLIN), 0);
  const XmlRpcValue large(std::string(3 << 20, 'x'));
  EXPECT_TRUE(client.execute("Large", large, result));
  EXPECT_EQ(result, XmlRpcValue(7));
  EXPECT_EQ(server.accepted(), 2);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_GT(server.requests().back().size(), 3u << 20);
  EXPECT_EQ(server.count("XmlRpcClient::writeRequest: re-trying connection") +
                server.count("XmlRpcClient::readHeader: re-trying connection"),
            1);
  EXPECT_TRUE(server.errors().empty());
}
