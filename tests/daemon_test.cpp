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

// Bytes the allocator has handed out and not had back.
size_t heapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Sends `head`, then `unit` again and again until the client closes the connection or 64 MiB
// are out; notes the most heap in use meanwhile.
struct Flood {
  Flood(std::string head, std::string unit) : _head(std::move(head)), _unit(std::move(unit)) {}
  const std::string _head, _unit;
  bool clientClosed = false;
  size_t peakHeap = 0;
  int port = 0;
  Fd listener = bound(&port);
  std::thread thread{[this] { run(); }};

  void run() {
    Fd fd(waitFor(listener.fd, POLLIN) ? ::accept(listener.fd, nullptr, nullptr) : -1);
    if (!waitFor(fd.fd, POLLIN)) return;
    drain(fd.fd);
    std::string out = _head;
    for (size_t sent = 0; sent < (64u << 20); out = _unit) {
      for (size_t at = 0; at < out.size();) {
        if (!(waitFor(fd.fd, POLLOUT) & POLLOUT)) return;
        const ssize_t n = ::send(fd.fd, out.data() + at, out.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
          clientClosed = errno == EPIPE || errno == ECONNRESET;
          return;
        }
        at += static_cast<size_t>(n);
        sent += static_cast<size_t>(n);
      }
      peakHeap = std::max(peakHeap, heapInUse());
    }
    // A reply that the client took whole: it closes the connection after it.
    clientClosed = waitFor(fd.fd, POLLIN) && drain(fd.fd).empty();
  }
};

// Each server would make the client hold what it sends, without end; the client stops at its
// limit (1 MiB, or the default), closes the connection at once, and its heap stays bounded.
TEST(HostileServers, TheClientHoldsNoMoreThanItsLimits) {
  const std::string x4k(4096, 'x');
  const struct {
    std::string head, unit;
    size_t limit;
    std::string error;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n", "X-Endless: " + x4k + "\r\n", 1 << 20, LONG_HEADER},
      {CHUNKS, "1000\r\n" + x4k + "\r\n", 1 << 20, LIMITED + "1048576 bytes)."},
      {"HTTP/1.1 200 OK\r\n\r\n", x4k, 1 << 20, LIMITED + "1048576 bytes)."},
      {OK_HEAD + "1099511627776\r\n\r\n", x4k, 0,
       "Error in XmlRpcClient::readHeader: Content-length (1099511627776) beyond the response "
       "limit (67108864 bytes)."},
      {okReply() + x4k, x4k, 1 << 20, ""}};  // bytes after the reply: it closes, reads no more
  for (const auto& c : cases) {
    Capture capture(0);
    const size_t before = heapInUse();
    Flood flood(c.head, c.unit);
    {
      XmlRpcClient client("127.0.0.1", flood.port);
      if (c.limit) client.setResponseLimit(c.limit);
      XmlRpcValue result;
      EXPECT_EQ(client.execute("Echo", 1, result, 20.0), c.error.empty());
      EXPECT_EQ(client.lastError().message, c.error);
      EXPECT_TRUE(client.lastError().kind ==
                  (c.error.empty() ? XmlRpcClient::ErrorKind::NONE : XmlRpcClient::ErrorKind::HTTP));
      EXPECT_EQ(client.getfd(), -1);
      flood.thread.join();
    }
    EXPECT_TRUE(flood.clientClosed) << c.error;
    EXPECT_LT(flood.peakHeap, before + (8u << 20)) << c.error;
  }
}

// The body's bytes on the wire against limits just below, at and above them, and no limit; the
// header's bytes at and beyond its limit.
TEST(HostileServers, ALimitCountsEveryByteOfTheBodyOnTheWire) {
  const std::string chunkedBody = [] {
    std::string out;
    for (size_t at = 0; at < BODY.size(); at += 40) {
      char size[8];
      std::snprintf(size, sizeof(size), "%zx", BODY.substr(at, 40).size());
      out += size + std::string(" ;x=y\r\n") + BODY.substr(at, 40) + "\r\n";
    }
    return out + "0\r\nX-Trailer: 1\r\n\r\n";
  }();
  const auto headerOf = [](size_t size) {  // a header of exactly `size` bytes
    const std::string tail = "\r\nContent-length: " + std::to_string(BODY.size()) + "\r\n\r\n";
    return "HTTP/1.1 200 OK\r\nX: " + std::string(size - 20 - tail.size(), 'h') + tail;
  };
  const struct {
    std::string head, body;
    Then then;
    std::string over;  // the error line beyond the limit
  } framings[] = {
      {OK_HEAD + std::to_string(BODY.size()) + "\r\n\r\n", BODY, Then::Keep,
       "Error in XmlRpcClient::readHeader: Content-length (" + std::to_string(BODY.size()) +
           ") beyond the response limit ("},
      {CHUNKS, chunkedBody, Then::Keep, LIMITED},
      {"HTTP/1.1 200 OK\r\n\r\n", BODY, Then::Close, LIMITED},
      {headerOf(65536), BODY, Then::Keep, ""},
      {headerOf(65537), BODY, Then::Keep, LONG_HEADER}};
  for (const auto& f : framings) {
    const size_t wire = f.body.size();
    const bool longHead = f.head.size() > 65000;  // only without a limit on the body
    for (size_t limit : {wire - 1, wire, wire + 1, size_t{0}}) {
      if (longHead && limit != 0) continue;
      const bool fails = f.over == LONG_HEADER || (limit != 0 && limit < wire);
      ScriptedServer server({{{{f.head + f.body}, f.then}}});
      XmlRpcClient client("127.0.0.1", server.port());
      client.setResponseLimit(limit);
      XmlRpcValue result;
      EXPECT_EQ(client.execute("Echo", 1, result), !fails) << f.head.substr(0, 40) << limit;
      EXPECT_EQ(result, fails ? XmlRpcValue() : XmlRpcValue(7));
      const std::string over =
          f.over == LIMITED || f.over.find("Content-length") != f.over.npos
              ? f.over + std::to_string(limit) + " bytes)."
              : f.over;
      EXPECT_EQ(server.errors, lines(fails ? over : "")) << limit;
    }
  }
}

// A server on its own thread that serves each connection on a thread of its own: it answers
// every call with its first parameter, as a result or, when `broken`, as the whole body.
class EchoServer {
 public:
  explicit EchoServer(bool broken) : _broken(broken) {}
  ~EchoServer() {
    _stop = true;
    _thread.join();
    for (std::thread& t : _connections)
      t.join();
  }
  int port = 0;

 private:
  void serve(Fd fd) {
    std::string in;
    for (std::string more; waitFor(fd.fd, POLLIN) && !(more = drain(fd.fd)).empty();) {
      in += more;
      for (size_t end; (end = in.find("\r\n\r\n")) != in.npos;) {
        const size_t size = end + 4 + std::stoul(in.substr(in.find("length: ") + 8));
        if (in.size() < size) break;
        const size_t from = in.find("<param>") + 7, to = in.find("</param>");
        const std::string value = in.substr(from, to - from);
        in.erase(0, size);
        const std::string reply = okReply(_broken ? value
                                                  : "<methodResponse><params><param>" + value +
                                                        "</param></params></methodResponse>");
        if (::send(fd.fd, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size())) return;
      }
    }
  }
  void run() {
    while (!_stop)
      if (waitFor(_listener.fd, POLLIN, 50))
        _connections.emplace_back(&EchoServer::serve, this, Fd(::accept(_listener.fd, nullptr, nullptr)));
  }
  const bool _broken;
  Fd _listener = bound(&port);
  std::atomic<bool> _stop{false};
  std::vector<std::thread> _connections;
  std::thread _thread{[this] { run(); }};
};

constexpr int THREADS = 8;

// Runs `calls` calls on each of 8 threads, each with its own client and values.
void onThreads(int port, int calls, const std::function<void(XmlRpcClient&, const std::string&)>& call) {
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([=] {
      XmlRpcClient client("127.0.0.1", port);
      for (int i = 0; i < calls; ++i)
        call(client, "thread " + std::to_string(t) + " call " + std::to_string(i) + " " +
                         std::string(200 + 40 * t, static_cast<char>('a' + t)));
    });
  for (std::thread& thread : threads)
    thread.join();
}

TEST(Threads, ClientsOnEightThreadsEachGetTheirOwnResults) {
  EchoServer server(false);
  std::atomic<int> right{0};
  onThreads(server.port, 200, [&](XmlRpcClient& client, const std::string& text) {
    XmlRpcValue params, result;
    params[0] = text;
    params[1] = static_cast<int>(text.size());
    right += client.execute("echo", params, result) && result == params[0] &&
             client.lastError().kind == XmlRpcClient::ErrorKind::NONE;
  });
  EXPECT_EQ(right, THREADS * 200);
}

// The default error handler's lines, from failing calls on 8 threads, read back from standard
// error: each whole, none lost.
TEST(Threads, ErrorLinesOfEightThreadsNeverMix) {
  EchoServer server(true);
  std::multiset<std::string> expected;
  std::mutex mutex;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  Fd readEnd(out[0]), savedStderr(::dup(2));
  std::string written;
  std::thread reader([&] {
    char buf[4096];
    for (ssize_t n; waitFor(readEnd.fd, POLLIN) && (n = ::read(readEnd.fd, buf, sizeof(buf))) > 0;)
      written.append(buf, static_cast<size_t>(n));
  });
  ::dup2(out[1], 2);
  ::close(out[1]);
  onThreads(server.port, 100, [&](XmlRpcClient& client, const std::string& text) {
    XmlRpcValue result;
    const bool ok = client.execute("echo", text, result);
    const std::lock_guard<std::mutex> lock(mutex);
    expected.insert(client.lastError().message + "\n");
    EXPECT_FALSE(ok);
  });
  ::dup2(savedStderr.fd, 2);
  reader.join();
  std::multiset<std::string> got;
  const std::string start = "Error in ";
  for (size_t at = 0; at < written.size();) {
    const size_t next = std::min(written.find("\n" + start, at + 1), written.size() - 1) + 1;
    got.insert(written.substr(at, next - at));
    at = next;
  }
  EXPECT_EQ(got.size(), THREADS * 100u);
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(expected.begin()->rfind("Error in XmlRpcClient::parseResponse: Invalid response - no "
                                    "methodResponse. Response:\n<value>thread ", 0), 0u);
}

}  // namespace
