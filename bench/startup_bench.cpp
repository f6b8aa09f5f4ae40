// rpcset's whole-process time beside its floor: the minimal C client of
// c_client.c, rpcset, and a fully static rpcset for reference, each started as
// a process for one SetBOOT call to a fast in-process server, taking turns in
// the same run. Every request must be the same bytes, or the comparison is void.
//
//   startup_bench [RUNS]   (RUNS of each process, 200 by default)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process_bench.h"

namespace {

constexpr int WARM_UP_ROUNDS = 10;
// The ratio of medians that rpcset must stay within.
constexpr double TARGET_RATIO = 1.2;

const char MAC[] = "00:11:22:33:44:55";
const char PROC[] = "pxelinux.0";

struct Program {
  const char* label;
  std::vector<std::string> args;
  std::vector<double> ms;
};

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
  LoopbackServer server;
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
      const double ms = runProcess(program.args);
      const std::vector<std::string> requests = server.takeRequests();
      const std::string request = requests.size() == 1 ? requests[0] : "";
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
