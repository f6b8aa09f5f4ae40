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

// Waits until the reset sent by the peer has arrived.
void waitForReset(int fd) {
  ASSERT_NE(waitFor(fd, POLLIN) & (POLLIN | POLLERR | POLLHUP), 0) << "no reset arrived";
}

}  // namespace

TEST(Socket, CreatesAnIpv4StreamSocket) {
  UniqueFd fd(XmlRpcSocket::socket());
  ASSERT_GE(fd.get(), 0);
  int value = 0;
  socklen_t len = sizeof(value);
  ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_DOMAIN, &value, &len), 0);
  EXPECT_EQ(value, AF_INET);
  ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &value, &len), 0);
  EXPECT_EQ(value, SOCK_STREAM);
}

TEST(Socket, CloseReleasesTheDescriptorAndLogsAtLevelFour) {
  FdPair pair = makeSocketPair();
  int fd = pair.first.release();
  {
    LogCapture log(3);
    XmlRpcSocket::close(fd);
    EXPECT_TRUE(log.entries().empty());
  }
  EXPECT_FALSE(isOpen(fd));

  int other = pair.second.release();
  LogCapture log(4);
  XmlRpcSocket::close(other);
  EXPECT_FALSE(isOpen(other));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].level, 4);
  EXPECT_EQ(log.entries()[0].msg, "XmlRpcSocket::close: fd " + std::to_string(other) + ".");
}

TEST(Socket, SetNonBlockingMakesAnEmptyReadReturnAtOnce) {
  FdPair pair = makeSocketPair(false);
  ASSERT_TRUE(XmlRpcSocket::setNonBlocking(pair.first.get()));
  EXPECT_NE(::fcntl(pair.first.get(), F_GETFL) & O_NONBLOCK, 0);
  char c;
  EXPECT_EQ(::read(pair.first.get(), &c, 1), -1);
  EXPECT_EQ(errno, EAGAIN);

  UniqueFd closed(std::move(pair.second));
  int number = closed.get();
  closed.reset();
  EXPECT_FALSE(XmlRpcSocket::setNonBlocking(number));
}

TEST(SocketRead, AppendsEverythingThenReportsEndOfFile) {
  FdPair pair = makeSocketPair();
  // Several read chunks' worth, to see that one call drains the socket.
  std::string sent = binaryBlob(10000);
  ASSERT_EQ(::write(pair.second.get(), sent.data(), sent.size()),
            static_cast<ssize_t>(sent.size()));
  pair.second.reset();

  LogCapture log(5);
  std::string s = "kept:";
  bool eof = false;
  EXPECT_TRUE(XmlRpcSocket::nbRead(pair.first.get(), s, &eof));
  EXPECT_TRUE(eof);
  EXPECT_EQ(s, "kept:" + sent);
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(log.entries().back().msg, "XmlRpcSocket::nbRead: read/recv returned 0.");
  for (const auto& e : log.entries())
    EXPECT_EQ(e.level, 5);
}

TEST(SocketRead, NothingToReadLeavesTheStringAndClearsEof) {
  FdPair pair = makeSocketPair();
  LogCapture log(5);
  std::string s = "unchanged";
  bool eof = true;
  EXPECT_TRUE(XmlRpcSocket::nbRead(pair.first.get(), s, &eof));
  EXPECT_FALSE(eof);
  EXPECT_EQ(s, "unchanged");
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].msg, "XmlRpcSocket::nbRead: read/recv returned -1.");
}

TEST(SocketRead, ResetConnectionIsAnError) {
  TcpPair tcp = makeTcpPair();
  makeNonBlocking(tcp.client.get());
  resetConnection(tcp.server);
  waitForReset(tcp.client.get());

  std::string s = "before";
  bool eof = false;
  EXPECT_FALSE(XmlRpcSocket::nbRead(tcp.client.get(), s, &eof));
  EXPECT_EQ(XmlRpcSocket::getError(), ECONNRESET);
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error " + std::to_string(ECONNRESET));
  EXPECT_FALSE(eof);
  EXPECT_EQ(s, "before");
}

TEST(SocketRead, BadDescriptorIsAnError) {
  std::string s;
  bool eof = true;
  EXPECT_FALSE(XmlRpcSocket::nbRead(-1, s, &eof));
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(eof);
  EXPECT_TRUE(s.empty());
}

TEST(SocketWrite, FillsTheBufferThenResumesFromTheSavedPosition) {
  FdPair pair = makeSocketPair();
  // Far more than a local socket buffers, so the first call must stop part way.
  std::string message = binaryBlob(8 << 20);
  int bytesSoFar = 0;
  ASSERT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  EXPECT_GT(bytesSoFar, 0);
  ASSERT_LT(bytesSoFar, static_cast<int>(message.size()));

  std::string received;
  for (int round = 0; round < 100000 && bytesSoFar < static_cast<int>(message.size()); ++round) {
    ASSERT_NE(waitFor(pair.second.get(), POLLIN) & POLLIN, 0);
    received += drain(pair.second.get());
    ASSERT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  }
  ASSERT_EQ(bytesSoFar, static_cast<int>(message.size()));
  while (received.size() < message.size() && waitFor(pair.second.get(), POLLIN) & POLLIN)
    received += drain(pair.second.get());
  EXPECT_TRUE(received == message) << "received " << received.size() << " bytes";
}

TEST(SocketWrite, WritesOnlyTheRestAfterTheGivenPosition) {
  FdPair pair = makeSocketPair();
  std::string message = "hello world";
  int bytesSoFar = 6;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  EXPECT_EQ(bytesSoFar, 11);
  EXPECT_EQ(drain(pair.second.get()), "world");
}

TEST(SocketWrite, NothingLeftToWriteMakesNoSystemCall) {
  LogCapture log(5);
  std::string message = "done";
  // An invalid descriptor would fail any system call.
  int bytesSoFar = 4;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, message, &bytesSoFar));
  EXPECT_EQ(bytesSoFar, 4);
  bytesSoFar = 9;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, message, &bytesSoFar));
  EXPECT_EQ(bytesSoFar, 9);
  bytesSoFar = 0;
  std::string empty;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, empty, &bytesSoFar));
  EXPECT_TRUE(log.entries().empty());
}

TEST(SocketWrite, BadDescriptorIsAnError) {
  std::string message = "x";
  int bytesSoFar = 0;
  EXPECT_FALSE(XmlRpcSocket::nbWrite(-1, message, &bytesSoFar));
  EXPECT_EQ(bytesSoFar, 0);
}

TEST(SocketWrite, WriteToAClosedPeerFailsAndTheProcessSurvives) {
  FdPair pair = makeSocketPair();
  pair.second.reset();
  std::string message = "after close";
  int bytesSoFar = 0;
  EXPECT_FALSE(XmlRpcSocket::nbWrite(pair.first.get(), message, &bytesSoFar));
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(bytesSoFar, 0);
}

TEST(SocketWrite, WriteAfterResetFailsAndTheProcessSurvives) {
  TcpPair tcp = makeTcpPair();
  makeNonBlocking(tcp.client.get());
  resetConnection(tcp.server);
  waitForReset(tcp.client.get());

  // The first write reports the reset itself; the second meets a dead connection.
  std::string request = "request";
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    int bytesSoFar = 0;
    EXPECT_FALSE(XmlRpcSocket::nbWrite(tcp.client.get(), request, &bytesSoFar));
    EXPECT_EQ(bytesSoFar, 0);
  }
}

TEST(SocketConnect, UnresolvableHostFailsWithoutConnecting) {
  UniqueFd fd(XmlRpcSocket::socket());
  ASSERT_GE(fd.get(), 0);
  std::string host = "corvane-no-such-host.invalid";
  EXPECT_FALSE(XmlRpcSocket::connect(fd.get(), host, 80));
  sockaddr_in peer{};
  socklen_t len = sizeof(peer);
  EXPECT_EQ(::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&peer), &len), -1);
  EXPECT_EQ(errno, ENOTCONN);
}

TEST(SocketConnect, NonBlockingConnectToLoopbackListenerSucceeds) {
  LoopbackListener listener;
  UniqueFd fd(XmlRpcSocket::socket());
  ASSERT_GE(fd.get(), 0);
  ASSERT_TRUE(XmlRpcSocket::setNonBlocking(fd.get()));
  std::string host = "127.0.0.1";
  EXPECT_TRUE(XmlRpcSocket::connect(fd.get(), host, listener.port()));

  ASSERT_NE(waitFor(fd.get(), POLLOUT) & POLLOUT, 0);
  int err = -1;
  socklen_t len = sizeof(err);
  ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len), 0);
  EXPECT_EQ(err, 0);

  UniqueFd server = listener.accept();
  std::string ping = "ping";
  int bytesSoFar = 0;
  ASSERT_TRUE(XmlRpcSocket::nbWrite(fd.get(), ping, &bytesSoFar));
  ASSERT_NE(waitFor(server.get(), POLLIN) & POLLIN, 0);
  EXPECT_EQ(drain(server.get()), "ping");
  sockaddr_in peer{};
  socklen_t peerLen = sizeof(peer);
  ASSERT_EQ(::getpeername(server.get(), reinterpret_cast<sockaddr*>(&peer), &peerLen), 0);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(SocketConnect, RefusedConnectionFailsWithItsErrorNumber) {
  // A bound socket that does not listen holds the port, so the refusal is certain.
  int port = 0;
  UniqueFd holder = bindLoopback(&port);
  UniqueFd fd(XmlRpcSocket::socket());
  ASSERT_GE(fd.get(), 0);
  std::string host = "127.0.0.1";
  EXPECT_FALSE(XmlRpcSocket::connect(fd.get(), host, port));
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error 111");
}

TEST(Socket, ListensAndAcceptsOnLoopback) {
  int port = 0;
  UniqueFd server = bindLoopback(&port);
  EXPECT_TRUE(XmlRpcSocket::setReuseAddr(server.get()));
  int flag = 0;
  socklen_t len = sizeof(flag);
  ASSERT_EQ(::getsockopt(server.get(), SOL_SOCKET, SO_REUSEADDR, &flag, &len), 0);
  EXPECT_EQ(flag, 1);

  UniqueFd notListening(XmlRpcSocket::socket());
  EXPECT_LT(XmlRpcSocket::accept(notListening.get()), 0);

  ASSERT_TRUE(XmlRpcSocket::listen(server.get(), 4));
  UniqueFd client = connectLoopback(port);
  ASSERT_NE(waitFor(server.get(), POLLIN) & POLLIN, 0);
  UniqueFd conn(XmlRpcSocket::accept(server.get()));
  ASSERT_GE(conn.get(), 0);
  ASSERT_EQ(::write(client.get(), "hi", 2), 2);
  ASSERT_NE(waitFor(conn.get(), POLLIN) & POLLIN, 0);
  EXPECT_EQ(drain(conn.get()), "hi");
}

TEST(Socket, BindTakesAllAddressesAndThePortInNetworkOrder) {
  // Binding the port held by a loopback listener must collide; a byte-swapped
  // port would not. Nothing here listens beyond loopback.
  LoopbackListener listener;
  UniqueFd fd(XmlRpcSocket::socket());
  EXPECT_FALSE(XmlRpcSocket::bind(fd.get(), listener.port()));
  EXPECT_EQ(errno, EADDRINUSE);

  ASSERT_TRUE(XmlRpcSocket::bind(fd.get(), 0));
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(addr.sin_family, AF_INET);
  EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_ANY);
  EXPECT_FALSE(XmlRpcSocket::bind(fd.get(), 0)) << "a second bind of one socket";
}

TEST(Socket, ErrorTextsShowTheBareNumber) {
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(111), "error 111");
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(0), "error 0");
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(-5), "error -5");
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(INT_MIN), "error -2147483648");
  errno = EAGAIN;
  EXPECT_EQ(XmlRpcSocket::getError(), EAGAIN);
  errno = EAGAIN;
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error " + std::to_string(EAGAIN));
}
