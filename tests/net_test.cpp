// Logging, the socket helpers the client does not use itself, and the select() dispatcher.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <climits>
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

TEST(Log, HandlersGetEachLineUpToTheVerbosityAndEveryErrorCutTo1022Characters) {
  EXPECT_STREQ(XMLRPC_VERSION, "CORVANE 0.7");
  FILE *out = std::tmpfile(), *err = std::tmpfile();
  Fd savedOut(::dup(1)), savedErr(::dup(2));
  ::dup2(::fileno(out), 1), ::dup2(::fileno(err), 2);
  XmlRpcUtil::log(1, "hidden");
  XmlRpcUtil::log(0, "level zero");
  XmlRpcLogHandler::setVerbosity(1);
  XmlRpcUtil::log(1, "shown %d", 7);
  XmlRpcUtil::log(2, "hidden");
  XmlRpcLogHandler::getLogHandler()->log(3, "hidden: the handler checks the level too");
  setVerbosity(-1);
  XmlRpcUtil::log(0, "hidden");
  XmlRpcUtil::error("Error %d", XmlRpcLogHandler::getVerbosity());
  char text[64] = {}, errText[64] = {};  // read before anyone else flushes: each line is flushed
  const bool read =
      ::pread(::fileno(out), text, 63, 0) > 0 && ::pread(::fileno(err), errText, 63, 0) > 0;
  ::dup2(savedOut.fd, 1), ::dup2(savedErr.fd, 2), setVerbosity(0);
  EXPECT_TRUE(read && std::string(text) == "level zero\nshown 7\n") << text;
  EXPECT_EQ(std::string(errText), "Error -1\n");
  std::fclose(out), std::fclose(err);
  Capture capture(3);
  const std::string x(1100, 'x');
  XmlRpcUtil::log(3, "%s", x.c_str()), XmlRpcUtil::log(4, "filtered"),
      XmlRpcUtil::error("%s|%d", x.c_str() + 80, 42);
  EXPECT_EQ(capture.logs, (std::vector<std::pair<int, std::string>>{{3, x.substr(0, 1022)}}));
  EXPECT_EQ(capture.errors, std::vector<std::string>{x.substr(0, 1020) + "|4"});
}

TEST(Socket, BindsAllAddressesListensAcceptsClosesAndNamesErrors) {
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
  Capture capture(4);
  XmlRpcSocket::close(conn);
  EXPECT_TRUE(conn >= 0 && ::fcntl(conn, F_GETFD) == -1);
  EXPECT_EQ(capture.logs.at(0).second, "XmlRpcSocket::close: fd " + std::to_string(conn) + ".");
  EXPECT_EQ(XmlRpcSocket::getErrorMsg(INT_MIN), "error -2147483648");
  int written = 5;
  EXPECT_TRUE(XmlRpcSocket::nbWrite(-1, "hello", &written));  // nothing left: no system call
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
    journal.push_back(name + ":gone");
    if (getfd() >= 0) ::close(getfd());
  }
  unsigned handleEvent(unsigned e) override {
    journal.push_back(name + (e == R ? ":read" : e == W ? ":write" : e == X ? ":except" : ":bits"));
    return react ? react(e) : e;
  }
  void close() override { journal.push_back(name + ":close"), XmlRpcSource::close(); }
};

struct Dispatch : ::testing::Test, XmlRpcDispatch {
  std::vector<std::string> journal;
  std::vector<std::unique_ptr<Source>> owned;
  Source& source(const char* name, std::function<unsigned(unsigned)> react, bool readable = false) {
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

// Urgent TCP data raises the exceptional condition; sources leave, rejoin and close others.
TEST_F(Dispatch, CallsEachReadyBitInOrderAndAppliesWhatTheHandlersReturn) {
  int port = 0;
  Fd listener = bound(&port), client(XmlRpcSocket::socket());
  XmlRpcSocket::connect(client.fd, "127.0.0.1", port);
  Fd server = acceptFrom(listener.fd);
  ::send(server.fd, "d", 1, 0), ::send(server.fd, "!", 1, MSG_OOB);
  ASSERT_NE(waitFor(client.fd, POLLPRI) & POLLPRI, 0);
  auto* self = new Source("S", journal, true, true);  // deletes itself on close
  self->react = [&](unsigned) { return removeSource(self), self->close(), 0u; };
  Source& all = source("A", [](unsigned e) { return e == X ? R | W : R | W | X; });
  ::close(all.getfd()), all.setfd(std::exchange(client.fd, -1));
  Source& closed = source("C", nullptr);
  Source& gone = source(
      "B", [](unsigned) { return 0u; }, true);
  Source& idle = source("I", nullptr, true);
  Source& kept = source("K", [&](unsigned) { return closed.close(), exit(), 0u; });
  bool again = false;
  Source* rejoin = nullptr;
  rejoin = &source(
      "J",
      [&](unsigned) {
        if (!again) {  // leaves and joins again, once
          again = true;
          removeSource(rejoin);
          addSource(rejoin, R);
        }
        return 0u;
      },
      true);
  kept.setKeepOpen(true);
  addSource(self, R | W), addSource(&all, R | W | X), addSource(&gone, R), addSource(&idle, X);
  addSource(rejoin, R | W), addSource(&kept, W), addSource(&closed, W);
  work(-1.0);
  EXPECT_EQ(journal, (std::vector<std::string>{"S:read", "S:close", "S:gone", "A:read", "A:write",
                                               "A:except", "B:read", "B:close", "J:read", "K:write",
                                               "C:close"}));
  EXPECT_EQ(masks(all), std::vector<unsigned>{R | W});
  EXPECT_EQ(masks(idle), std::vector<unsigned>{X});
  EXPECT_EQ(masks(*rejoin), std::vector<unsigned>{R});  // the new record, not the old one's 0
  EXPECT_EQ(masks(closed), std::vector<unsigned>{W});
  EXPECT_TRUE(masks(gone).empty() && masks(kept).empty() && gone.getfd() == -1 &&
              kept.getfd() >= 0);
}

TEST_F(Dispatch, ClearRemoveSetEventsExitAndTimeoutsKeepTheirRules) {
  Source& a = source("A", [&](unsigned) { return clear(), W; });
  Source& b = source("B", [](unsigned) { return W; });
  b.setKeepOpen(true);
  addSource(&a, W), addSource(&b, W);
  work(-1.0);
  EXPECT_EQ(journal, (std::vector<std::string>{"A:write", "B:write", "A:close", "B:close"}));
  Source& c = source("C", nullptr);
  addSource(&c, R), addSource(&c, W), removeSource(&a), setSourceEvents(&a, W),
      setSourceEvents(&c, X);
  EXPECT_EQ(masks(c), (std::vector<unsigned>{X, W}));
  removeSource(&c);
  EXPECT_EQ(masks(c), std::vector<unsigned>{W});
  clear();
  EXPECT_TRUE(journal.back() == "C:close" && _sources.empty());
  Capture capture(2);
  c.close();  // it has no descriptor left: nothing to close, nothing logged
  EXPECT_TRUE(capture.logs.empty());
  int calls = 0;
  Source& d = source("D", [&](unsigned) {
    if (++calls == 3) exit();
    if (calls > 3) clear();  // should exit() fail, the run still ends
    return W;
  });
  addSource(&d, W), exit(), work(-1.0);  // an exit() before work() has no lasting effect
  EXPECT_TRUE(calls == 3 && !_inWork);
  for (double timeout : {0.5, 1.25}) {  // a slow pass does not shorten the next one's wait
    Source& slow = source("S", [](unsigned) { return ::usleep(300000), R; });
    addSource(&slow, W), removeSource(&d);
    const auto start = std::chrono::steady_clock::now();
    work(timeout);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(took >= timeout + 0.28 && took < timeout + 3) << took;
    removeSource(&slow);
  }
}

TEST_F(Dispatch, DescriptorBeyondTheSelectLimitOrAFailedSelectIsReported) {
  rlimit saved{}, raised{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  raised = saved;
  raised.rlim_cur = std::min<rlim_t>(saved.rlim_max, 2048);
  ::setrlimit(RLIMIT_NOFILE, &raised);
  Source& a = source("A", nullptr);
  Fd high(::fcntl(a.getfd(), F_DUPFD_CLOEXEC, 1500));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  if (high.fd < FD_SETSIZE) GTEST_SKIP() << "no descriptor above " << FD_SETSIZE;
  Source& h = source("H", nullptr);
  const int own = h.getfd();
  Capture capture;
  h.setfd(high.fd), addSource(&a, W), addSource(&h, R), work(1.0);
  h.setfd(own), ::close(own), work(1.0), h.setfd(-1);  // a closed number: select() fails
  EXPECT_TRUE(journal.empty() && masks(h) == std::vector<unsigned>{R});
  EXPECT_EQ(
      capture.errors,
      (std::vector<std::string>{
          "Error in XmlRpcDispatch::work: descriptor 1500 is beyond the select() limit (1024).",
          "Error in XmlRpcDispatch::work: error in select (-1)."}));
}

}  // namespace
