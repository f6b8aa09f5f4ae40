// The rpcset proxy driven in-process, for what the binary cannot show: calls
// refused until it is connected, and a second connect that keeps the first client.
#include "TRpcSrv.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "test_support.h"

namespace {

using corvane::test::ErrorCapture;
using corvane::test::LoopbackListener;
using corvane::test::UniqueFd;
using corvane::test::waitFor;

// Accepts one connection on `listener`, answers its call with 0 and yields the request.
std::future<std::string> answerOneCall(LoopbackListener& listener) {
  return std::async(std::launch::async, [&listener] {
    UniqueFd conn = listener.accept();
    std::string request;
    char buf[4096];
    while (request.find("</methodCall>\r\n") == std::string::npos &&
           (waitFor(conn.get(), POLLIN) & POLLIN) != 0) {
      ssize_t n = ::read(conn.get(), buf, sizeof(buf));
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    const std::string body =
        "<methodResponse><params><param><value><int>0</int></value></param></params>"
        "</methodResponse>";
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ssize_t sent = ::send(conn.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    (void)sent;  // a short send shows up as the proxy's call failing
    return request;
  });
}

TEST(Proxy, RefusesCallsSilentlyUntilAClientExists) {
  ErrorCapture errors;
  LoopbackListener listener;
  const std::string port = std::to_string(listener.port());
  TRpcSrv proxy;

  EXPECT_EQ(proxy.SetBoot("pxe", "00:11"), -1);
  EXPECT_EQ(proxy.SetDHCP("2", "00:11", "10.0.0.9"), -1);
  EXPECT_EQ(proxy.RPCSrvConnect(nullptr, port.c_str()), -1);
  EXPECT_EQ(proxy.RPCSrvConnect("127.0.0.1", nullptr), -1);
  EXPECT_EQ(proxy.RPCSrvConnect(nullptr, nullptr), -1);
  EXPECT_EQ(proxy.SetBoot("pxe", "00:11"), -1);

  EXPECT_EQ(waitFor(listener.fd(), POLLIN, 0), 0) << "a refused call reached the server";
  EXPECT_TRUE(errors.messages().empty());
}

TEST(Proxy, ConnectingAgainKeepsTheFirstClient) {
  ErrorCapture errors;
  LoopbackListener first;
  // Bound but not listening: a call through a replaced client is refused instead of hanging.
  int refusingPort = 0;
  UniqueFd refusing = corvane::test::bindLoopback(&refusingPort);
  TRpcSrv proxy;

  ASSERT_EQ(proxy.RPCSrvConnect("127.0.0.1", std::to_string(first.port()).c_str()), 1);
  EXPECT_EQ(proxy.RPCSrvConnect("127.0.0.1", std::to_string(refusingPort).c_str()), 1);
  EXPECT_EQ(proxy.RPCSrvConnect(nullptr, nullptr), -1);

  std::future<std::string> request = answerOneCall(first);
  EXPECT_EQ(proxy.SetDHCP("2", "00:11", "10.0.0.9"), 0);
  EXPECT_TRUE(errors.messages().empty()) << errors.messages()[0];
  EXPECT_NE(request.get().find("<methodName>SetDHCP</methodName>"), std::string::npos);
}

}  // namespace
