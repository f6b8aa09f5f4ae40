// Tests of the non-blocking socket helpers on real descriptors.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "XmlRpcSocket.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

// Bytes of every value, NUL included, so that any truncation or text handling shows.
std::string binaryBlob(size_t length) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i)
    s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

// A non-blocking client end of a loopback TCP connection whose peer has reset it.
UniqueFd resetClient() {
  TcpPair tcp = makeTcpPair();
  makeNonBlocking(tcp.client.get());
  resetConnection(tcp.server);
  EXPECT_NE(waitFor(tcp.client.get(), POLLIN) & (POLLIN | POLLERR | POLLHUP), 0) << "no reset";
  return std::move(tcp.client);
}

}  // namespace

TEST(SocketRead, AppendsWhatIsThereAndReportsEndOfFileOnlyOnceThePeerHasClosed) {
  FdPair pair = makeSocketPair(false);
  ASSERT_TRUE(XmlRpcSocket::setNonBlocking(pair.first.get()));
  ASSERT_NE(::fcntl(pair.first.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(XmlRpcSocket::setNonBlocking(-1));
  LogCapture log(5);
  std::string s = "kept:";
  bool eof = true;
  EXPECT_TRUE(XmlRpcSocket::nbRead(pair.first.get(), s, &eof));
  EXPECT_FALSE(eof);
  EXPECT_EQ(s, "kept:");
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"XmlRpcSocket::nbRead: read/recv returned -1."});

  // Several read chunks' worth, to see that one call drains the socket.
  std::string sent = binaryBlob(10000);
  ASSERT_EQ(::write(pair.second.get(), sent.data(), sent.size()),
            static_cast<ssize_t>(sent.size()));
  pair.second.reset();
  EXPECT_TRUE(XmlRpcSocket::nbRead(pair.first.get(), s, &eof));
  EXPECT_TRUE(eof);
  EXPECT_TRUE(s == "kept:" + sent);
  EXPECT_EQ(log.entries().back().msg, "XmlRpcSocket::nbRead: read/recv returned 0.");
  EXPECT_EQ(log.entries().back().level, 5);
}

TEST(SocketRead, ResetOrBadDescriptorIsAnError) {
  UniqueFd client = resetClient();
  std::string s = "before";
  bool eof = true;
  EXPECT_FALSE(XmlRpcSocket::nbRead(client.get(), s, &eof));
  EXPECT_EQ(XmlRpcSocket::getError(), ECONNRESET);
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error " + std::to_string(ECONNRESET));
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(INT_MIN), "error -2147483648");
  EXPECT_FALSE(eof);
  EXPECT_EQ(s, "before");
  eof = true;
  EXPECT_FALSE(XmlRpcSocket::nbRead(-1, s, &eof));
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(eof);
}

TEST(SocketWrite, FillsTheBufferThenResumesFromTheSavedPosition) {
  FdPair pair = makeSocketPair();
  // Far more than a local socket buffers, so the first call must stop part way.
  std::string message = binaryBlob(8 << 20);
  const int total = static_cast<int>(message.size());
  int bytesSoFar = 0;
  ASSERT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  EXPECT_GT(bytesSoFar, 0);
  ASSERT_LT(bytesSoFar, total);
  std::string received;
  for (int round = 0; round < 100000 && bytesSoFar < total; ++round) {
    ASSERT_NE(waitFor(pair.second.get(), POLLIN) & POLLIN, 0);
    received += drain(pair.second.get());
    ASSERT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  }
  ASSERT_EQ(bytesSoFar, total);
  while (received.size() < message.size() && waitFor(pair.second.get(), POLLIN) & POLLIN)
    received += drain(pair.second.get());
  EXPECT_TRUE(received == message) << "received " << received.size() << " bytes";
}

TEST(SocketWrite, WritesOnlyWhatIsLeftAfterTheGivenPosition) {
  FdPair pair = makeSocketPair();
  int bytesSoFar = 6;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), "hello world", &bytesSoFar));
  EXPECT_EQ(bytesSoFar, 11);
  EXPECT_EQ(drain(pair.second.get()), "world");
  // Nothing left: no system call, so even an invalid descriptor succeeds.
  LogCapture log(5);
  for (int position : {4, 9}) {
    bytesSoFar = position;
    EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, "done", &bytesSoFar));
    EXPECT_EQ(bytesSoFar, position);
  }
  EXPECT_TRUE(log.entries().empty());
}

TEST(SocketWrite, WriteToABadClosedOrResetPeerFailsAndTheProcessSurvives) {
  FdPair pair = makeSocketPair();
  pair.second.reset();
  UniqueFd client = resetClient();
  // On a reset connection the first write reports the reset, the second meets a dead end.
  for (int fd : {-1, pair.first.get(), client.get(), client.get()}) {
    int bytesSoFar = 0;
    EXPECT_FALSE(XmlRpcSocket::nbWrite(fd, "request", &bytesSoFar)) << fd;
    EXPECT_EQ(bytesSoFar, 0);
  }
}

TEST(SocketConnect, ConnectsToALoopbackListenerAndFailsOnARefusalOrUnknownHost) {
  LoopbackListener listener;
  UniqueFd fd(XmlRpcSocket::socket());
  ASSERT_TRUE(XmlRpcSocket::setNonBlocking(fd.get()));
  EXPECT_TRUE(XmlRpcSocket::connect(fd.get(), "127.0.0.1", listener.port()));
  ASSERT_NE(waitFor(fd.get(), POLLOUT) & POLLOUT, 0);
  UniqueFd server = listener.accept();
  int bytesSoFar = 0;
  ASSERT_TRUE(XmlRpcSocket::nbWrite(fd.get(), "ping", &bytesSoFar));
  ASSERT_NE(waitFor(server.get(), POLLIN) & POLLIN, 0);
  EXPECT_EQ(drain(server.get()), "ping");

  // A bound socket that does not listen holds the port, so the refusal is certain.
  int port = 0;
  UniqueFd holder = bindLoopback(&port);
  UniqueFd other(XmlRpcSocket::socket());
  EXPECT_FALSE(XmlRpcSocket::connect(other.get(), "127.0.0.1", port));
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error 111");
  EXPECT_FALSE(XmlRpcSocket::connect(other.get(), "corvane-no-such-host.invalid", port));
}

TEST(Socket, BindsAllAddressesInNetworkOrderListensAcceptsAndCloses) {
  UniqueFd server(XmlRpcSocket::socket());
  int value = 0;
  socklen_t len = sizeof(value);
  EXPECT_TRUE(XmlRpcSocket::setReuseAddr(server.get()));
  ASSERT_EQ(::getsockopt(server.get(), SOL_SOCKET, SO_REUSEADDR, &value, &len), 0);
  EXPECT_EQ(value, 1);
  EXPECT_LT(XmlRpcSocket::accept(server.get()), 0) << "accept before listen";

  // Binding the port held by a loopback listener must collide; a byte-swapped
  // port would not. Nothing here listens beyond loopback.
  LoopbackListener listener;
  EXPECT_FALSE(XmlRpcSocket::bind(server.get(), listener.port()));
  EXPECT_EQ(errno, EADDRINUSE);
  ASSERT_TRUE(XmlRpcSocket::bind(server.get(), 0));
  sockaddr_in addr{};
  len = sizeof(addr);
  ASSERT_EQ(::getsockname(server.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_ANY);

  ASSERT_TRUE(XmlRpcSocket::listen(server.get(), 4));
  UniqueFd client = connectLoopback(ntohs(addr.sin_port));
  ASSERT_NE(waitFor(server.get(), POLLIN) & POLLIN, 0);
  int conn = XmlRpcSocket::accept(server.get());
  ASSERT_GE(conn, 0);
  ASSERT_EQ(::write(client.get(), "hi", 2), 2);
  ASSERT_NE(waitFor(conn, POLLIN) & POLLIN, 0);
  EXPECT_EQ(drain(conn), "hi");
  LogCapture log(4);
  XmlRpcSocket::close(conn);
  EXPECT_FALSE(isOpen(conn));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].level, 4);
  EXPECT_EQ(log.entries()[0].msg, "XmlRpcSocket::close: fd " + std::to_string(conn) + ".");
}
