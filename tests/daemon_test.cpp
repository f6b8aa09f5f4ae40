// The stack inside a long-running program: the dispatcher's events, descriptors beyond 1,024,
// signals during a call, servers that would make the client hold without end, and clients on
// several threads at once.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>

#include "support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

const std::string LIMITED = "Error in XmlRpcClient::readResponse: response body beyond the response limit (";
const std::string LONG_HEADER =
    "Error in XmlRpcClient::readHeader: response header beyond the header limit (65536 bytes).";
const std::string CHUNKS = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// Records the events it is called with in the first pass that has any, then leaves.
struct Probe : XmlRpcSource {
  explicit Probe(int fd) : XmlRpcSource(fd) { setKeepOpen(); }
  unsigned handleEvent(unsigned event) override {
    seen.push_back(event);
    return 0;
  }
  std::vector<unsigned> seen;
};

TEST(Dispatch, HangUpsAndErrorsReachTheEventsWaitedForAndUrgentDataIsTheException) {
  enum { R = XmlRpcDispatch::EventReadable, W = XmlRpcDispatch::EventWritable,
         X = XmlRpcDispatch::EventException };
  // Which end of a pipe, or of a TCP connection, with what done to its other end.
  enum Peer { PipeReadEndWriterGone, PipeWriteEndReaderGone, PipeWriteEnd, TcpUrgentByte, Closed };
  const struct {
    Peer peer;
    unsigned mask;
    std::vector<unsigned> seen;
  } cases[] = {{PipeReadEndWriterGone, R, {R}},     {PipeReadEndWriterGone, R | X, {R}},
               {PipeReadEndWriterGone, X, {X}},     {PipeWriteEndReaderGone, W, {W}},
               {PipeWriteEndReaderGone, R | W, {R, W}}, {PipeWriteEnd, R | W | X, {W}},
               {TcpUrgentByte, X, {X}},             {Closed, R, {}}};
  for (const auto& c : cases) {
    int p[2], port = 0;
    ASSERT_EQ(::pipe(p), 0);
    Fd readEnd(p[0]), writeEnd(p[1]), listener = bound(&port), tcp(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(tcp.fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)), 0);
    Fd accepted(::accept(listener.fd, nullptr, nullptr));
    int fd = tcp.fd;
    if (c.peer == PipeReadEndWriterGone) fd = readEnd.fd, writeEnd.reset();
    if (c.peer == PipeWriteEndReaderGone) fd = writeEnd.fd, readEnd.reset();
    if (c.peer == PipeWriteEnd) fd = writeEnd.fd;
    if (c.peer == TcpUrgentByte) {
      ASSERT_TRUE(::send(accepted.fd, "!", 1, MSG_OOB) == 1 && waitFor(fd, POLLPRI) & POLLPRI);
    }
    if (c.peer == Closed) fd = ::dup(readEnd.fd), ::close(fd);
    Probe probe(fd);
    Capture capture(0);
    XmlRpcDispatch disp;
    disp.addSource(&probe, c.mask);
    disp.work(2.0);  // every case ends at once: the time limit only bounds a fault
    EXPECT_EQ(probe.seen, c.seen) << c.peer << " " << c.mask;
    EXPECT_EQ(capture.errors, c.peer != Closed ? std::vector<std::string>{}
                                               : lines("Error in XmlRpcDispatch::work: error in poll "
                                                       "(descriptor " + std::to_string(fd) +
                                                       " is not open)."));
  }
}

// Descriptors below 1,025 are all taken, so that the client's socket gets a higher number.
TEST(Descriptors, ACallWorksWhateverNumberItsSocketGets) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = 1200;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
    GTEST_SKIP() << "the hard limit on descriptors (" << limit.rlim_max << ") is below " << needed;
  const rlimit saved = limit;
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, needed);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  {
    ScriptedServer server({{{{okReply()}}, {{okReply()}}}});
    std::vector<Fd> taken;
    while (taken.empty() || taken.back().fd <= 1024) {
      taken.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      ASSERT_GE(taken.back().fd, 0);
    }
    XmlRpcClient client("127.0.0.1", server.port());
    XmlRpcValue result;
    EXPECT_TRUE(client.execute("Echo", 1, result) && result == XmlRpcValue(7));
    EXPECT_TRUE(client.execute("Echo", 1, result, 5.0) && result == XmlRpcValue(7));
    EXPECT_GT(server.fd(0), 1024);
    EXPECT_EQ(server.errors, std::vector<std::string>{});
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

// A signal without SA_RESTART comes every 2 ms while the calls wait for a reply 150 ms late, or
// for none within the limit.
TEST(Signals, AnInterruptedWaitGoesOnForTheTimeThatRemains) {
  struct sigaction action {}, saved{};
  action.sa_handler = [](int) {};
  ::sigaction(SIGUSR1, &action, &saved);
  const Exchange late{{okReply()}, Then::Keep, 150};
  ScriptedServer server({{late, late, {{}}}});
  std::atomic<bool> done{false};
  const pthread_t caller = ::pthread_self();
  std::thread signaller([&] {
    while (!done)
      ::pthread_kill(caller, SIGUSR1), ::usleep(2000);
  });
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_TRUE(client.execute("Echo", 1, result) && result == XmlRpcValue(7));
  EXPECT_TRUE(client.execute("Echo", 1, result, 5.0) && result == XmlRpcValue(7));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.execute("Echo", 1, result, 0.3));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(took.count() >= 0.3 && took.count() < 1.5) << took.count();
  done = true;
  signaller.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_EQ(server.errors,
            lines("Error in XmlRpcClient::execute: no response within the time limit (0.3 s)."));
}

}  // namespace
