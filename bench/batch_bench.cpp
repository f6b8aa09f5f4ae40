// The same calls made two ways against one fast in-process server: as one
// rpcset --batch process reading them from its standard input, and as one
// rpcset process per call, as a shell loop makes them. Both ways must send the
// same request bytes in the same order, or the comparison is void.
//
//   batch_bench [CALLS [ROUNDS]]   (1000 calls, 5 rounds of each way by default)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process_bench.h"

namespace {

// The batch must be at least this many times faster than the processes.
constexpr double TARGET_RATIO = 10.0;

const char PROC[] = "pxelinux.0";

// One MAC address per call, so that a call sent twice or out of order shows.
std::string macOf(int call) {
  char mac[32];
  std::snprintf(mac, sizeof(mac), "00:11:22:33:%02x:%02x", (call >> 8) & 0xff, call & 0xff);
  return mac;
}

struct Way {
  const char* label;
  std::vector<double> ms;
};

}  // namespace

int main(int argc, char* argv[]) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (calls < 1 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [CALLS [ROUNDS]]\n", argv[0]);
    return 2;
  }
  LoopbackServer server;
  const std::string port = std::to_string(server.port());

  char input[] = "/tmp/batch_bench.XXXXXX";
  const int inputFd = ::mkstemp(input);
  std::string lines;
  for (int call = 0; call < calls; ++call)
    lines += "boot " + macOf(call) + " " + PROC + "\n";
  if (inputFd < 0 ||
      ::write(inputFd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
    std::perror("batch_bench: input file");
    return 1;
  }
  ::close(inputFd);

  Way batch{"1 rpcset --batch process", {}};
  Way processes{"1 rpcset process per call", {}};
  std::vector<std::string> expected;
  bool ok = true;
  for (int round = 0; round < rounds && ok; ++round) {
    // Each round starts with the other way, so that a slow spell does not fall on one alone.
    for (int turn = 0; turn < 2 && ok; ++turn) {
      const bool batchTurn = (round + turn) % 2 == 0;
      double ms = 0;
      if (batchTurn) {
        ms = runProcess({CORVANE_RPCSET, "--fail", "--batch", "127.0.0.1", port}, input);
      } else {
        for (int call = 0; call < calls; ++call)
          ms +=
              runProcess({CORVANE_RPCSET, "--fail", "127.0.0.1", port, "boot", macOf(call), PROC});
      }
      int connections = 0;
      const std::vector<std::string> requests = server.takeRequests(&connections);
      if (expected.empty()) expected = requests;
      ok = static_cast<int>(requests.size()) == calls && requests == expected &&
           connections == (batchTurn ? 1 : calls);
      if (!ok)
        std::fprintf(stderr, "batch_bench: %s sent %zu requests on %d connections, not the same\n",
                     batchTurn ? batch.label : processes.label, requests.size(), connections);
      (batchTurn ? batch : processes).ms.push_back(ms);
    }
  }
  ::unlink(input);
  if (!ok) return 1;

  std::printf(
      "%d SetBOOT calls to a server on 127.0.0.1, each way %d times in turn; both sent\n"
      "the same %d requests, the batch on one kept connection.\n\n",
      calls, rounds, calls);
  std::printf("| Way | Fastest | Median | Per call (fastest) |\n|---|---:|---:|---:|\n");
  for (Way* way : {&batch, &processes}) {
    std::sort(way->ms.begin(), way->ms.end());
    std::printf("| %s | %.1f ms | %.1f ms | %.1f us |\n", way->label, way->ms.front(),
                way->ms[way->ms.size() / 2], way->ms.front() * 1000.0 / calls);
  }
  const double ratio = processes.ms.front() / batch.ms.front();
  std::printf("\nThe batch is %.1fx faster (target at least %.0fx): %s\n", ratio, TARGET_RATIO,
              ratio >= TARGET_RATIO ? "met" : "NOT met");
  return ratio >= TARGET_RATIO ? 0 : 1;
}
