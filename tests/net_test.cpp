// Logging, the socket helpers and the select() dispatcher, on real descriptors.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <climits>
#include <functional>
#include <memory>

#include "XmlRpcDispatch.h"
#include "XmlRpcSocket.h"
#include "XmlRpcSource.h"
#include "support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

constexpr unsigned R = XmlRpcDispatch::EventReadable, W = XmlRpcDispatch::EventWritable,
                   X = XmlRpcDispatch::EventException;

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// Sends what fd 1 or 2 receives into a file while it lives.
struct StreamCapture {
  int stream;
  Fd saved{::dup(stream)};
  FILE* file = std::tmpfile();
  explicit StreamCapture(int s) : stream(s) {
    std::fflush(nullptr), ::dup2(::fileno(file), stream);
  }
  ~StreamCapture() { std::fflush(nullptr), ::dup2(saved.fd, stream), std::fclose(file); }
  std::string text() {
    std::fflush(nullptr);
    std::string out(static_cast<size_t>(::lseek(::fileno(file), 0, SEEK_END)), '\0');
    return out.resize(static_cast<size_t>(::pread(::fileno(file), &out[0], out.size(), 0))), out;
  }
};

TEST(Log, HandlersGetEachLineUpToTheVerbosityAndEveryErrorCutTo1022Characters) {
  EXPECT_STREQ(XMLRPC_VERSION, "CORVANE 0.7");
  EXPECT_EQ(getVerbosity(), 0);
  {
    StreamCapture out(1), err(2);
    XmlRpcUtil::log(1, "hidden");
    XmlRpcUtil::log(0, "level zero");
    XmlRpcLogHandler::setVerbosity(1);
    XmlRpcUtil::log(1, "shown %d of %s", 7, "many");
    XmlRpcUtil::log(2, "hidden");
    XmlRpcLogHandler::getLogHandler()->log(3, "hidden: the default handler checks the level too");
    setVerbosity(-1);
    XmlRpcUtil::log(0, "hidden");
    XmlRpcUtil::error("Error in Test::run: %s (%d).", "failed", XmlRpcLogHandler::getVerbosity());
    EXPECT_EQ(out.text(), "level zero\nshown 7 of many\n");
    EXPECT_EQ(err.text(), "Error in Test::run: failed (-1).\n");
    setVerbosity(0);
  }
  Capture capture(3);
  const std::string text(2000, 'x');
  for (size_t length : {1022, 1023}) {
    XmlRpcUtil::log(3, "%s", text.substr(0, length).c_str());
    XmlRpcUtil::error("%s|%d", text.substr(0, length - 5).c_str(), 12345);
  }
  XmlRpcUtil::log(4, "filtered");
  ASSERT_EQ(capture.logs.size(), 2u);
  EXPECT_EQ(capture.logs[1], std::make_pair(3, text.substr(0, 1022)));
  EXPECT_EQ(capture.errors[0], text.substr(0, 1017) + "|1234");
  EXPECT_EQ(capture.errors[1], text.substr(0, 1018) + "|123");
}

TEST(Socket, ReadsWritesAndReportsEndOfFileResetsAndErrors) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Fd a(fds[0]), b(fds[1]);
  ASSERT_TRUE(XmlRpcSocket::setNonBlocking(a.fd));
  EXPECT_NE(::fcntl(a.fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(XmlRpcSocket::setNonBlocking(-1));
  ::fcntl(b.fd, F_SETFL, O_NONBLOCK);
  std::string s = "kept:", sent(8 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<char>(i * 7 + i / 251);
  bool eof = true;
  EXPECT_TRUE(XmlRpcSocket::nbRead(a.fd, s, &eof));
  EXPECT_FALSE(eof);
  EXPECT_EQ(s, "kept:");
  // Far more than the socket buffers: each write stops part way and resumes where it stopped.
  int written = 0;
  for (int round = 0; written < static_cast<int>(sent.size()) && round < 100000; ++round) {
    ASSERT_TRUE(XmlRpcSocket::nbWrite(b.fd, sent, &written));
    ASSERT_TRUE(XmlRpcSocket::nbRead(a.fd, s, &eof));
  }
  b.reset();
  EXPECT_TRUE(XmlRpcSocket::nbRead(a.fd, s, &eof));
  EXPECT_TRUE(eof);
  EXPECT_TRUE(s == "kept:" + sent);
  written = 6;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, "hello", &written));  // nothing left: no system call
  EXPECT_FALSE(XmlRpcSocket::nbWrite(a.fd, "hello", &(written = 0)));
  EXPECT_EQ(written, 0);
  EXPECT_FALSE(XmlRpcSocket::nbRead(-1, s, &eof));
  EXPECT_FALSE(eof);

  int port = 0;
  Fd listener = bound(&port);
  Fd client(XmlRpcSocket::socket());
  XmlRpcSocket::setNonBlocking(client.fd);
  EXPECT_TRUE(XmlRpcSocket::connect(client.fd, "127.0.0.1", port));
  Fd server = acceptFrom(listener.fd);
  ASSERT_NE(waitFor(client.fd, POLLOUT), 0);
  EXPECT_TRUE(XmlRpcSocket::nbWrite(client.fd, "ping", &(written = 1)));
  EXPECT_EQ(waitFor(server.fd, POLLIN) ? drain(server.fd) : "", "ing");
  resetConnection(server);
  waitFor(client.fd, POLLIN);
  EXPECT_FALSE(XmlRpcSocket::nbRead(client.fd, s = "before", &eof));
  EXPECT_EQ(XmlRpcSocket::getError(), ECONNRESET);
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error 104");
  EXPECT_EQ(s + XmlRpcSocket::getErrorMsg(INT_MIN), "beforeerror -2147483648");
  EXPECT_FALSE(XmlRpcSocket::nbWrite(client.fd, "x", &(written = 0)));

  Fd refusing = bound(&port, false), other(XmlRpcSocket::socket());
  EXPECT_FALSE(XmlRpcSocket::connect(other.fd, "127.0.0.1", port));
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(), "error 111");
  EXPECT_FALSE(XmlRpcSocket::connect(other.fd, "corvane-no-such-host.invalid", port));
}

TEST(Socket, BindsAllAddressesListensAcceptsAndCloses) {
  Fd server(XmlRpcSocket::socket());
  int value = 0, port = 0;
  socklen_t len = sizeof(value);
  EXPECT_TRUE(XmlRpcSocket::setReuseAddr(server.fd));
  ::getsockopt(server.fd, SOL_SOCKET, SO_REUSEADDR, &value, &len);
  EXPECT_EQ(value, 1);
  EXPECT_LT(XmlRpcSocket::accept(server.fd), 0);
  Fd taken = bound(&port);
  EXPECT_FALSE(XmlRpcSocket::bind(server.fd, port));
  ASSERT_TRUE(XmlRpcSocket::bind(server.fd, 0));
  sockaddr_in addr{};
  len = sizeof(addr);
  ::getsockname(server.fd, reinterpret_cast<sockaddr*>(&addr), &len);
  EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
  ASSERT_TRUE(XmlRpcSocket::listen(server.fd, 4));
  Fd client = loopback(ntohs(addr.sin_port), true);
  waitFor(server.fd, POLLIN);
  const int conn = XmlRpcSocket::accept(server.fd);
  ASSERT_GE(conn, 0);
  Capture capture(4);
  XmlRpcSocket::close(conn);
  EXPECT_FALSE(isOpen(conn));
  EXPECT_EQ(capture.logs, (std::vector<std::pair<int, std::string>>{
                              {4, "XmlRpcSocket::close: fd " + std::to_string(conn) + "."}}));
}

// A source on a socket pair that writes each call into a shared journal and answers as told.
struct Source : XmlRpcSource {
  std::string name;
  std::vector<std::string>& journal;
  std::function<unsigned(unsigned)> react;
  Fd peer;
  Source(std::string n, std::vector<std::string>& j, bool readable, bool deleteOnClose = false)
      : XmlRpcSource(-1, deleteOnClose), name(std::move(n)), journal(j) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds);
    setfd(fds[0]), peer.reset(fds[1]);
    if (readable && ::write(peer.fd, "x", 1) != 1) std::abort();
  }
  ~Source() override {
    journal.push_back(name + ":destroyed");
    if (getfd() >= 0) ::close(getfd());
  }
  unsigned handleEvent(unsigned e) override {
    journal.push_back(name + (e == R ? ":read" : e == W ? ":write" : e == X ? ":except" : ":bits"));
    return react ? react(e) : e;
  }
  void close() override {
    journal.push_back(name + ":close");
    XmlRpcSource::close();
  }
};

struct Dispatch : ::testing::Test, XmlRpcDispatch {
  std::vector<std::string> journal;
  std::vector<std::unique_ptr<Source>> owned;
  Source& source(const char* name, bool readable = false,
                 std::function<unsigned(unsigned)> react = nullptr) {
    owned.push_back(std::make_unique<Source>(name, journal, readable));
    owned.back()->react = std::move(react);
    return *owned.back();
  }
  std::vector<unsigned> masks(const XmlRpcSource& s) {
    std::vector<unsigned> out;
    for (MonitoredSource& m : _sources)
      if (m.getSource() == &s) out.push_back(m.getMask());
    return out;
  }
};

TEST_F(Dispatch, CallsEachReadyBitInOrderAndAppliesTheAndOfTheMasks) {
  int port = 0;
  Fd listener = bound(&port), client = loopback(port, true), server = acceptFrom(listener.fd);
  ::send(server.fd, "d", 1, 0), ::send(server.fd, "!", 1, MSG_OOB);
  ASSERT_NE(waitFor(client.fd, POLLPRI) & POLLPRI, 0);
  Source& all = source("A", false, [](unsigned e) { return e == X ? R | W : R | W | X; });
  ::close(all.getfd()), all.setfd(std::exchange(client.fd, -1));
  Source& readOnly = source("B", true, [](unsigned) { return 0u; });
  Source& idle = source("C", true);
  Source& kept = source("D", false, [&](unsigned) { return exit(), 0u; });
  kept.setKeepOpen(true);
  addSource(&all, R | W | X), addSource(&readOnly, R), addSource(&idle, X), addSource(&kept, W);
  work(0.2);
  EXPECT_EQ(journal, (std::vector<std::string>{"A:read", "A:write", "A:except", "B:read", "B:close",
                                               "D:write"}));
  EXPECT_EQ(masks(all), std::vector<unsigned>{R | W});
  EXPECT_EQ(masks(idle), std::vector<unsigned>{X});
  EXPECT_EQ(masks(readOnly).size() + masks(kept).size(), 0u);
  EXPECT_TRUE(isOpen(kept.getfd()));
  EXPECT_EQ(readOnly.getfd(), -1);
}

TEST_F(Dispatch, SourcesMayLeaveRejoinOrCloseOthersInsideTheirHandlers) {
  auto* self = new Source("S", journal, true, true);  // deletes itself on close
  self->react = [&](unsigned) { return removeSource(self), self->close(), 0u; };
  bool again = false;
  Source* a = nullptr;
  a = &source("A", true, [&](unsigned) {
    if (!again) again = true, removeSource(a), addSource(a, R);
    return 0u;
  });
  Source& closed = source("C");
  Source& b = source("B", false, [&](unsigned) { return closed.close(), exit(), W; });
  addSource(self, R | W), addSource(a, R | W), addSource(&b, W), addSource(&closed, W);
  work(-1.0);
  EXPECT_EQ(journal, (std::vector<std::string>{"S:read", "S:close", "S:destroyed", "A:read",
                                               "B:write", "C:close"}));
  EXPECT_EQ(masks(*a), std::vector<unsigned>{R});  // the new record, untouched by the old one's 0
  EXPECT_EQ(masks(closed), std::vector<unsigned>{W});
  EXPECT_TRUE(isOpen(a->getfd()));
}

TEST_F(Dispatch, ClearRemoveAndSetEventsKeepTheirRules) {
  Source& a = source("A", false, [&](unsigned) { return clear(), W; });
  Source& b = source("B", false, [](unsigned) { return W; });
  b.setKeepOpen(true);
  addSource(&a, W), addSource(&b, W);
  work(-1.0);
  EXPECT_EQ(journal, (std::vector<std::string>{"A:write", "B:write", "A:close", "B:close"}));
  EXPECT_EQ(a.getfd() + b.getfd(), -2);
  Source& c = source("C");
  Source& stranger = source("S");
  addSource(&c, R), addSource(&c, W);
  removeSource(&stranger), setSourceEvents(&stranger, W), setSourceEvents(&c, X);
  EXPECT_EQ(masks(c), (std::vector<unsigned>{X, W}));
  removeSource(&c);
  EXPECT_EQ(masks(c), std::vector<unsigned>{W});
  clear();
  EXPECT_EQ(journal.back(), "C:close");
  EXPECT_TRUE(_sources.empty());
  work(10.0);  // nothing to watch: returns at once
  EXPECT_FALSE(_inWork);
}

TEST_F(Dispatch, EveryPassWaitsTheWholeTimeoutAgainUntilExitOrTheEndTime) {
  for (double timeout : {0.5, 1.25}) {
    Source& slow = source("A", false, [](unsigned) { return ::usleep(300000), R; });
    addSource(&slow, W);
    const auto start = std::chrono::steady_clock::now();
    work(timeout);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, timeout + 0.28);
    EXPECT_LT(elapsed, timeout + 3);
    removeSource(&slow);
  }
  int calls = 0;
  Source& a = source("A", false, [&](unsigned) {
    if (++calls == 3) exit();
    if (calls > 3) clear();  // should exit() fail, the loop still ends
    return W;
  });
  addSource(&a, W);
  exit();
  work(-1.0);
  EXPECT_EQ(calls, 3);
}

TEST_F(Dispatch, DescriptorBeyondTheSelectLimitOrAFailedSelectIsReported) {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit raised = saved;
  raised.rlim_cur = std::min<rlim_t>(saved.rlim_max, 2048);
  ::setrlimit(RLIMIT_NOFILE, &raised);
  Source& a = source("A");
  Fd high(::fcntl(a.getfd(), F_DUPFD_CLOEXEC, 1500));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  if (high.fd < FD_SETSIZE) GTEST_SKIP() << "no descriptor above " << FD_SETSIZE;
  Source& h = source("H");
  const int own = h.getfd();
  h.setfd(high.fd);
  Capture capture;
  addSource(&a, W), addSource(&h, R);
  work(1.0);
  h.setfd(own), ::close(own);  // a closed number: select() fails
  work(1.0);
  h.setfd(-1);
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(
      capture.errors,
      (std::vector<std::string>{
          "Error in XmlRpcDispatch::work: descriptor 1500 is beyond the select() limit (1024).",
          "Error in XmlRpcDispatch::work: error in select (-1)."}));
  EXPECT_EQ(masks(h), std::vector<unsigned>{R});
  EXPECT_FALSE(_inWork);
}

}  // namespace
