// Interoperability of the client with a peer no one here wrote: Python's
// standard-library XML-RPC server, whose `echo` method sends each value back
// in Python's own XML (typed strings and ints, its booleans, doubles, dates,
// line-broken base64 and structs).
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "XmlRpcClient.h"
#include "XmlRpcValue.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

// Starts tests/echo_server.py for each test and stops it afterwards.
class PythonPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string python = CORVANE_PYTHON;
    ASSERT_TRUE(!python.empty() && python.find("NOTFOUND") == std::string::npos)
        << "no Python 3 interpreter was found when the build was configured";
    FdPair out = makePipe();
    pid_t pid = ::fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      ::dup2(out.second.get(), STDOUT_FILENO);
      ::execl(python.c_str(), python.c_str(), CORVANE_ECHO_SERVER, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    _server = std::make_unique<ChildProcess>(pid);
    out.second.reset();
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && waitFor(out.first.get(), POLLIN) != 0 &&
           ::read(out.first.get(), &c, 1) == 1)
      line += c;
    _port = std::atoi(line.c_str());
    ASSERT_GT(_port, 0) << "the echo server did not report its port: \"" << line << "\"";
  }

  std::unique_ptr<ChildProcess> _server;
  int _port = 0;
};

}  // namespace

TEST_F(PythonPeer, EveryValueTypeComesBackEqual) {
  tm when = tm();
  when.tm_year = 2024;
  when.tm_mon = 2;
  when.tm_mday = 29;
  when.tm_hour = 13;
  std::vector<char> bytes(300);  // more than 57 bytes: Python breaks its base64 into lines
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 37);
  std::string longText;  // a reply longer than one read
  while (longText.size() < 10000)
    longText += "<tag attr='x'> & \"quoted\" ";
  XmlRpcValue binary(bytes.data(), static_cast<int>(bytes.size()));
  XmlRpcValue emptyArray, array, record;
  emptyArray.setSize(0);
  array[0] = 1;
  array[1][0] = 2.5;
  array[1][1] = "two";
  record["list"] = array;
  record["inner"]["deep"] = false;
  record["inner"]["none"] = emptyArray;

  XmlRpcValue date(&when), longString(longText), emptyStruct;
  int offset = 0;
  emptyStruct.fromXml("<value><struct></struct></value>", &offset);
  const XmlRpcValue values[] = {true,       false,
                                -7,         INT_MAX,
                                INT_MIN,    2.5,
                                -0.125,     "a & b < c > d  e",
                                "",         "caf\xc3\xa9\nline two",
                                longString, date,
                                binary,     array,
                                record,     emptyArray,
                                emptyStruct};
  LogCapture log(3);
  XmlRpcClient client("127.0.0.1", _port);
  for (const XmlRpcValue& value : values) {
    SCOPED_TRACE("value type " + std::to_string(value.getType()));
    ASSERT_TRUE(value.valid());
    XmlRpcValue params, result;
    params[0] = value;
    ASSERT_TRUE(client.execute("echo", params, result));
    EXPECT_FALSE(client.isFault());
    EXPECT_EQ(result, value);
  }
  // The peer answers in HTTP/1.0 and closes: every call is made on a new connection.
  EXPECT_EQ(log.count("XmlRpcClient::doConnect: fd "), static_cast<int>(std::size(values)));
}

TEST_F(PythonPeer, UnknownMethodGivesAFault) {
  XmlRpcClient client("127.0.0.1", _port);
  XmlRpcValue result;
  ASSERT_TRUE(client.execute("nosuch", XmlRpcValue(1), result));
  EXPECT_TRUE(client.isFault());
  EXPECT_TRUE(result["faultCode"] == XmlRpcValue(1));
  const std::string text = result["faultString"];
  EXPECT_NE(text.find("\"nosuch\" is not supported"), std::string::npos) << text;
}
