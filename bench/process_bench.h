// What the benchmarks of whole rpcset processes share: a fast server on
// 127.0.0.1 and a timed run of one process.
#ifndef CORVANE_BENCH_PROCESS_BENCH_H
#define CORVANE_BENCH_PROCESS_BENCH_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A server thread on a free port of 127.0.0.1. It serves one connection at a
// time, answers every request on it with REPLY until the client closes, and
// keeps each request's bytes.
class LoopbackServer {
 public:
  static constexpr char REPLY[] =
      "HTTP/1.1 200 OK\r\nServer: corvane-bench\r\nContent-Type: text/xml\r\n"
      "Content-length: 115\r\n\r\n"
      "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>0</i4></value>"
      "</param></params></methodResponse>\r\n";
  // No wait in the server is longer than this.
  static constexpr int WAIT_MS = 5000;

  LoopbackServer() {
    _listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (_listener < 0 || ::bind(_listener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(_listener, 16) != 0 ||
        ::getsockname(_listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      std::perror("bench server: listen");
      std::exit(1);
    }
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    _stop = true;
    _thread.join();
    ::close(_listener);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return _port; }

  // The requests and the number of connections since the last call.
  std::vector<std::string> takeRequests(int* connections = nullptr) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (connections != nullptr) *connections = _connections;
    _connections = 0;
    std::vector<std::string> requests;
    requests.swap(_requests);
    return requests;
  }

 private:
  static bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }

  void serve() {
    while (!_stop) {
      if (!readable(_listener, 100)) continue;
      const int fd = ::accept(_listener, nullptr, nullptr);
      if (fd < 0) continue;
      {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_connections;
      }
      std::string pending;
      std::string request;
      while (readRequest(fd, pending, request)) {
        {
          std::lock_guard<std::mutex> lock(_mutex);
          _requests.push_back(request);
        }
        (void)!::write(fd, REPLY, sizeof(REPLY) - 1);
      }
      ::close(fd);
    }
  }

  // Moves the next whole request (the header, then Content-length bytes of
  // body) from `pending`, reading more as needed; false at the end.
  static bool readRequest(int fd, std::string& pending, std::string& request) {
    for (;;) {
      const std::size_t end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::size_t field = pending.find("Content-length: ");
        if (field == std::string::npos || field > end) return false;
        const std::size_t total = end + 4 + std::strtoul(pending.c_str() + field + 16, nullptr, 10);
        if (pending.size() >= total) {
          request = pending.substr(0, total);
          pending.erase(0, total);
          return true;
        }
      }
      char buf[4096];
      if (!readable(fd, WAIT_MS)) return false;
      const ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n <= 0) return false;
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  int _listener = -1;
  int _port = 0;
  std::atomic<bool> _stop{false};
  std::mutex _mutex;
  std::vector<std::string> _requests;
  int _connections = 0;
  std::thread _thread;
};

inline double nowMs() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Runs `args` once, its standard input read from `input` (or inherited when
// null); its time in milliseconds from spawn to reaped exit. Exits the
// benchmark when the process does not exit with status 0.
inline double runProcess(std::vector<std::string> args, const char* input = nullptr) {
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (input != nullptr) ::posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  const double start = nowMs();
  pid_t pid;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double elapsed = nowMs() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
    std::exit(1);
  }
  return elapsed;
}

#endif
