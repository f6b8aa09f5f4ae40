// The stack in a long-running program: poll()'s events, any descriptor, signals, threads.
#include <sys/resource.h>

#include <chrono>
#include <csignal>

#include "support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

struct Probe : XmlRpcSource {  // notes the events of the first pass that has any, then leaves
  explicit Probe(int fd) : XmlRpcSource(fd) { setKeepOpen(); }
  unsigned handleEvent(unsigned event) override { return seen.push_back(event), 0; }
  std::vector<unsigned> seen;
};

// Pipe ends without writer ('r'), without reader ('w') or with room ('o'); urgent data ('u').
TEST(Dispatch, HangUpsAndErrorsReachTheEventsWaitedForAndUrgentDataIsTheException) {
  enum : unsigned { R = 1, W = 2, X = 4 };
  const std::tuple<char, unsigned, std::vector<unsigned>> cases[] = {
      {'r', R, {R}},        {'r', R | X, {R}},     {'r', X, {X}}, {'w', W, {W}},
      {'w', R | W, {R, W}}, {'o', R | W | X, {W}}, {'u', X, {X}}, {'c', R, {}}};
  Capture capture(0);
  for (const auto& [end, mask, seen] : cases) {
    int p[2], port = 0;
    ASSERT_EQ(::pipe(p), 0);
    Fd in(p[0]), out(p[1]), listener = bound(&port), tcp(::socket(AF_INET, SOCK_STREAM, 0)), peer;
    (end == 'r' ? out : end == 'w' ? in : peer).reset();
    const sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (end == 'u' && ::connect(tcp.fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0)
      peer.reset(::accept(listener.fd, nullptr, nullptr)), ::send(peer.fd, "!", 1, MSG_OOB);
    const int fd = end == 'r' ? in.fd : end == 'u' ? tcp.fd : end == 'c' ? 1000 : out.fd;
    Probe probe(fd);
    XmlRpcDispatch disp;
    disp.addSource(&probe, mask);
    disp.work(2.0);  // each case ends at once: the limit only bounds a fault
    EXPECT_EQ(probe.seen, seen) << end << mask;
  }
  EXPECT_EQ(capture.errors,
            lines("Error in XmlRpcDispatch::work: error in poll (descriptor 1000 is not open)."));
}

// The client's socket above 1,024; SIGUSR1 every 2 ms while calls wait 150 ms, or time out.
TEST(Wait, GoesOnWhateverTheDescriptorNumberAndThroughSignals) {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit raised{std::max<rlim_t>(saved.rlim_cur, 1100), saved.rlim_max};
  const bool high = raised.rlim_cur <= raised.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
  std::vector<Fd> taken;
  while (high && (taken.empty() || (taken.back().fd >= 0 && taken.back().fd <= 1024)))
    taken.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
  ::signal(SIGUSR1, [](int) {});  // poll() is never restarted after a handler
  ScriptedServer server({{{{okReply()}, Then::Keep, 150}, {{okReply()}, Then::Keep, 150}, {{}}}});
  std::atomic<bool> done{false};
  std::thread signaller([&, caller = ::pthread_self()] {
    for (; !done; ::usleep(2000))
      ::pthread_kill(caller, SIGUSR1);
  });
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue result;
  EXPECT_TRUE(client.execute("Echo", 1, result) && client.execute("Echo", 1, result, 5.0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.execute("Echo", 1, result, 0.3));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  done = true;
  signaller.join();
  EXPECT_TRUE(took.count() >= 0.3 && took.count() < 1.5 && server.errors.size() == 1 &&
              (!high || server.fd(0) > 1024));
  if (!high) GTEST_SKIP() << "no descriptor above 1,024: the hard limit is " << saved.rlim_max;
}

// Each thread's own client and values; another client's refused calls, and their error lines.
TEST(Threads, ClientsOnEightThreadsGetTheirOwnResultsAndWholeErrorLines) {
  const Process echo({CORVANE_PYTHON, CORVANE_PEERS, "echo", "-"});  // a thread a connection
  int refused = 0;
  const Fd refusing = bound(&refused, AF_INET, false), saved(::dup(2));
  std::FILE* const file = std::tmpfile();
  ::dup2(fileno(file), 2);
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      XmlRpcClient client("127.0.0.1", echo.port()), failing("127.0.0.1", refused);
      for (int i = 0; i < 200; ++i) {
        XmlRpcValue result, text = std::to_string(t * 1000 + i) + std::string(40 * t, 'a');
        right += client.execute("echo", text, result) && result == text;
        right += i % 2 && !failing.execute("echo", text, result);
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  ::dup2(saved.fd, 2);
  std::string written(1 << 20, '\0'), expected;
  written.resize(std::max<ssize_t>(::pread(fileno(file), &written[0], written.size(), 0), 0));
  std::fclose(file);
  for (int line = 0; line < 8 * 100; ++line)
    expected += "Error in XmlRpcClient::writeRequest: write error (error 111).\n";
  EXPECT_TRUE(written == expected && right == 8 * 300) << right;
}

}  // namespace
