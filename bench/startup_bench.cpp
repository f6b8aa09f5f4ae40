// rpcset's whole-process time beside its floor: the minimal C client of
// c_client.c, rpcset, and a fully static rpcset for reference, each started as
// a process for one SetBOOT call to a fast in-process server, taking turns in
// the same run. Every request must be the same bytes, or the comparison is void.
//
//   startup_bench [RUNS]   (RUNS of each process, 200 by default)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char REPLY[] =
    "HTTP/1.1 200 OK\r\nServer: startup_bench\r\nContent-Type: text/xml\r\n"
    "Content-length: 112\r\n\r\n"
    "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>0</i4></value>"
    "</param></params></methodResponse>\r\n";

// No wait in the server is longer than this.
constexpr int WAIT_MS = 5000;
constexpr int WARM_UP_ROUNDS = 10;
// The ratio of medians that rpcset must stay within.
constexpr double TARGET_RATIO = 1.2;

const char MAC[] = "00:11:22:33:44:55";
const char PROC[] = "pxelinux.0";

// Answers one request per connection with REPLY and keeps the request's bytes.
class Server {
 public:
  Server() {
    _listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (_listener < 0 || ::bind(_listener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(_listener, 16) != 0 ||
        ::getsockname(_listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      std::perror("startup_bench: listen");
      std::exit(1);
    }
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { serve(); });
  }
  ~Server() {
    _stop = true;
    _thread.join();
    ::close(_listener);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const { return _port; }

  // The request of the last connection, or "" when none came.
  std::string takeRequest() {
    std::lock_guard<std::mutex> lock(_mutex);
    std::string request;
    request.swap(_request);
    return request;
  }

 private:
  static bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, WAIT_MS) == 1;
  }

  void serve() {
    while (!_stop) {
      pollfd p{_listener, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      const int fd = ::accept(_listener, nullptr, nullptr);
      if (fd < 0) continue;
      std::string request;
      if (readRequest(fd, request)) {
        {
          std::lock_guard<std::mutex> lock(_mutex);
          _request = request;
        }
        (void)!::write(fd, REPLY, sizeof(REPLY) - 1);
      }
      ::close(fd);
    }
  }

  // The header, then Content-length bytes of body.
  static bool readRequest(int fd, std::string& in) {
    std::size_t total = 0;
    for (;;) {
      const std::size_t end = in.find("\r\n\r\n");
      if (end != std::string::npos && total == 0) {
        const std::size_t field = in.find("Content-length: ");
        if (field == std::string::npos || field > end) return false;
        total = end + 4 + std::strtoul(in.c_str() + field + 16, nullptr, 10);
      }
      if (total != 0 && in.size() >= total) return in.size() == total;
      char buf[4096];
      if (!readable(fd)) return false;
      const ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n <= 0) return false;
      in.append(buf, static_cast<std::size_t>(n));
    }
  }

  int _listener = -1;
  int _port = 0;
  std::atomic<bool> _stop{false};
  std::mutex _mutex;
  std::string _request;
  std::thread _thread;
};

struct Program {
  const char* label;
  std::vector<std::string> args;
  std::vector<double> ms;
};

double now() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Runs the program once; its time in milliseconds from spawn to reaped exit.
double runOnce(Program& program) {
  std::vector<char*> argv;
  for (std::string& arg : program.args)
    argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  const double start = now();
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "startup_bench: cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double elapsed = now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "startup_bench: %s failed (status %d)\n", program.label, status);
    std::exit(1);
  }
  return elapsed;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
  const std::size_t rank =
      static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[rank];
}

}  // namespace

int main(int argc, char* argv[]) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  if (runs < 1) {
    std::fprintf(stderr, "usage: %s [RUNS]\n", argv[0]);
    return 2;
  }
  Server server;
  const std::string port = std::to_string(server.port());
  std::vector<Program> programs = {
      {"C client (bench/c_client.c)", {CORVANE_C_CLIENT, port, MAC, PROC}, {}},
      {"rpcset", {CORVANE_RPCSET, "127.0.0.1", port, "boot", MAC, PROC}, {}},
      {"rpcset, fully static (reference)",
       {CORVANE_RPCSET_STATIC, "127.0.0.1", port, "boot", MAC, PROC},
       {}},
  };

  std::string expected;
  const std::size_t count = programs.size();
  for (int round = -WARM_UP_ROUNDS; round < runs; ++round) {
    // Each round starts with another program, so that none always follows the same one.
    for (std::size_t i = 0; i < count; ++i) {
      Program& program = programs[(static_cast<std::size_t>(round + WARM_UP_ROUNDS) + i) % count];
      const double ms = runOnce(program);
      const std::string request = server.takeRequest();
      if (expected.empty()) expected = request;
      if (request.empty() || request != expected) {
        std::fprintf(stderr,
                     "startup_bench: %s sent other bytes than the first request:\n%s\n---\n%s\n",
                     program.label, request.c_str(), expected.c_str());
        return 1;
      }
      if (round >= 0) program.ms.push_back(ms);
    }
  }

  std::printf(
      "One SetBOOT call to a server on 127.0.0.1, %d runs of each process in turn,\n"
      "after %d untimed rounds; every process sent the same %zu request bytes.\n\n",
      runs, WARM_UP_ROUNDS, expected.size());
  std::printf("| Process | Median | p25-p75 | p10-p90 | Ratio to the C client |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  double cMedian = 0;
  double ratio = 0;
  for (Program& program : programs) {
    std::sort(program.ms.begin(), program.ms.end());
    const double median = percentile(program.ms, 0.5);
    if (cMedian == 0) cMedian = median;
    if (&program == &programs[1]) ratio = median / cMedian;
    std::printf("| %s | %.3f ms | %.3f-%.3f ms | %.3f-%.3f ms | %.2fx |\n", program.label, median,
                percentile(program.ms, 0.25), percentile(program.ms, 0.75),
                percentile(program.ms, 0.1), percentile(program.ms, 0.9), median / cMedian);
  }
  const bool met = ratio <= TARGET_RATIO;
  std::printf("\nrpcset at most %.1fx the C client's median: %s\n", TARGET_RATIO,
              met ? "yes" : "NO");
  return met ? 0 : 1;
}
