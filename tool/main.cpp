// rpcset: sends provisioning calls, SetBOOT or SetDHCP, to an XML-RPC server.
//   rpcset [OPTION...] SRV_IP SRV_PORT boot MAC_INFO PROC_INFO
//   rpcset [OPTION...] SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO
//   rpcset [OPTION...] --batch SRV_IP SRV_PORT < calls
// Scripts rely on the command lines without options: they send, print and exit
// exactly as rpcset always has. Everything new comes through options.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TRpcSrv.h"

namespace {

// Exit statuses under --fail; a usage error exits with EXIT_USAGE with or without it.
constexpr int EXIT_CALL_FAILED = 1;
constexpr int EXIT_FAULT = 2;
constexpr int EXIT_USAGE = 64;  // EX_USAGE of sysexits.h

constexpr long LOWEST_PORT = 1;
constexpr long HIGHEST_PORT = 65535;

const char USAGE[] =
    "rpcset [OPTION...] SRV_IP SRV_PORT boot MAC_INFO PROC_INFO\n"
    "rpcset [OPTION...] SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO\n"
    "rpcset [OPTION...] --batch SRV_IP SRV_PORT < calls\n";

const char OPTIONS_HELP[] =
    "\n"
    "Sends SetBOOT(PROC_INFO, MAC_INFO) or SetDHCP(PS_NUM, MAC_INFO, IP_INFO)\n"
    "to http://SRV_IP:SRV_PORT/RPC2.\n"
    "\n"
    "Options:\n"
    "  -f, --fail             exit status 0 success, 1 failed exchange, 2 fault,\n"
    "                         64 usage error (also without --fail)\n"
    "  -t, --timeout SECONDS  give up on a call after SECONDS (such as 2 or 0.5)\n"
    "  -v, --verbose          show each request and response body on standard error\n"
    "  -b, --batch            one call per line of standard input, in the command\n"
    "                         line's words: boot MAC_INFO PROC_INFO or\n"
    "                         dhcp MAC_INFO PS_NUM IP_INFO; blank lines and lines\n"
    "                         starting with # are skipped\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "  --                     end of the options\n";

const char TIMEOUT_ASSIGNMENT[] = "--timeout=";

using Words = std::vector<std::string>;

struct Operation {
  const char* word;
  size_t wordCount;  // the operation word and its operands
  const char* operands;
};
const Operation OPERATIONS[] = {{"boot", 3, "MAC_INFO PROC_INFO"},
                                {"dhcp", 4, "MAC_INFO PS_NUM IP_INFO"}};

struct Options {
  bool fail = false;
  bool verbose = false;
  bool batch = false;
  double timeLimit = -1.0;
};

// The command line as rpcset has always read it: usage messages on standard
// output, exit status 255 after them and 0 in every other case.
int runWithoutOptions(int argc, char* argv[]) {
  if (argc < 4) {
    std::printf("usage %s SRV_IP SRV_PORT [boot|dhcp] ...\n", argv[0]);
    return -1;
  }

  TRpcSrv proxy;
  // A proxy that could not be prepared refuses the call below; the exit status stays 0.
  proxy.RPCSrvConnect(argv[1], argv[2]);

  const std::string operation = argv[3];
  if (operation == "boot") {
    if (argc < 6) {
      std::printf("usage %s SRV_IP SRV_PORT boot MAC_INFO PROC_INFO\n", argv[0]);
      return -1;
    }
    // The server takes PROC_INFO first and MAC_INFO second.
    proxy.SetBoot(argv[5], argv[4]);
  } else if (operation == "dhcp") {
    if (argc < 7) {
      std::printf("usage %s SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO\n", argv[0]);
      return -1;
    }
    proxy.SetDHCP(argv[5], argv[4], argv[6]);
  }
  return 0;
}

int usageError(const std::string& reason) {
  std::fprintf(stderr, "rpcset: %s\n%s", reason.c_str(), USAGE);
  return EXIT_USAGE;
}

bool allDigits(const char* begin, const char* end) {
  return begin < end && std::all_of(begin, end, [](char c) { return c >= '0' && c <= '9'; });
}

bool isPort(const std::string& text) {
  if (!allDigits(text.data(), text.data() + text.size())) return false;
  const long port = std::strtol(text.c_str(), nullptr, 10);
  return port >= LOWEST_PORT && port <= HIGHEST_PORT;
}

// Reads a decimal number above 0 with an optional fraction ("2", "0.5").
bool readTimeLimit(const char* text, double& seconds) {
  const char* end = text + std::strlen(text);
  const char* dot = std::find(text, end, '.');
  if (!allDigits(text, dot) || (dot != end && !allDigits(dot + 1, end))) return false;
  seconds = std::strtod(text, nullptr);
  return seconds > 0.0;
}

// What is wrong with the words of a call, its operation word first; "" when
// they make a call.
std::string checkCall(const Words& call) {
  for (const Operation& operation : OPERATIONS) {
    if (call[0] != operation.word) continue;
    if (call.size() < operation.wordCount) return call[0] + " needs " + operation.operands;
    if (call.size() > operation.wordCount)
      return "extra word " + TRpcSrv::Escape(call[operation.wordCount]);
    return "";
  }
  return "unknown operation " + TRpcSrv::Escape(call[0]);
}

// A batch line holds words only: a control character, such as the carriage
// return of a line written on Windows, would otherwise go to the server unseen.
std::string checkBatchCall(const Words& call) {
  for (const std::string& word : call) {
    const bool hasControl = std::any_of(word.begin(), word.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (hasControl) return "control character in " + TRpcSrv::Escape(word);
  }
  return checkCall(call);
}

void send(TRpcSrv& proxy, const Words& call) {
  // The server takes the second operand first and the first second.
  if (call[0] == "boot")
    proxy.SetBoot(call[2], call[1]);
  else
    proxy.SetDHCP(call[2], call[1], call[3]);
}

// Reports on standard error, behind `prefix`, what became of the last call;
// its exit status under --fail. A failed exchange has reported itself already.
int report(const TRpcSrv& proxy, const std::string& prefix, bool nameFailure) {
  switch (proxy.LastOutcome()) {
    case TRpcSrv::CALL_SUCCEEDED:
      return EXIT_SUCCESS;
    case TRpcSrv::CALL_FAULT:
      std::fprintf(stderr, "%sfault %d: %s\n", prefix.c_str(), proxy.FaultCode(),
                   TRpcSrv::Escape(proxy.FaultString()).c_str());
      return EXIT_FAULT;
    case TRpcSrv::CALL_MALFORMED_FAULT:
      std::fprintf(stderr, "%sfault reply without an int faultCode and a string faultString\n",
                   prefix.c_str());
      return EXIT_CALL_FAILED;
    default:
      if (nameFailure) std::fprintf(stderr, "%scall failed\n", prefix.c_str());
      return EXIT_CALL_FAILED;
  }
}

bool readLine(std::FILE* in, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') return true;
    line += static_cast<char>(c);
  }
  return !line.empty();
}

Words splitWords(const std::string& line) {
  Words words;
  size_t start = 0;
  while ((start = line.find_first_not_of(" \t", start)) != std::string::npos) {
    const size_t end = std::min(line.find_first_of(" \t", start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end;
  }
  return words;
}

// Sends one call per line of standard input, all on the proxy's one kept
// connection; the worst exit status of any line.
int runBatch(TRpcSrv& proxy) {
  int worst = EXIT_SUCCESS;
  std::string line;
  for (int number = 1; readLine(stdin, line); ++number) {
    const Words call = splitWords(line);
    if (call.empty() || line[0] == '#') continue;

    const std::string prefix = "rpcset: line " + std::to_string(number) + ": ";
    const std::string reason = checkBatchCall(call);
    int status;
    if (!reason.empty()) {
      std::fprintf(stderr, "%s%s\n", prefix.c_str(), reason.c_str());
      status = EXIT_USAGE;
    } else {
      send(proxy, call);
      status = report(proxy, prefix, true);
    }
    worst = std::max(worst, status);
  }
  return worst;
}

// Options are the words before SRV_IP that begin with "-", one option a word.
int runWithOptions(int argc, char* argv[]) {
  Options options;
  int next = 1;
  while (next < argc && argv[next][0] == '-') {
    const std::string word = argv[next++];
    if (word == "--") break;
    if (word == "-f" || word == "--fail") {
      options.fail = true;
    } else if (word == "-v" || word == "--verbose") {
      options.verbose = true;
    } else if (word == "-b" || word == "--batch") {
      options.batch = true;
    } else if (word == "-t" || word == "--timeout") {
      if (next == argc) return usageError("option " + word + " needs SECONDS");
      if (!readTimeLimit(argv[next], options.timeLimit))
        return usageError("bad time limit " + TRpcSrv::Escape(argv[next]));
      ++next;
    } else if (word.compare(0, sizeof(TIMEOUT_ASSIGNMENT) - 1, TIMEOUT_ASSIGNMENT) == 0) {
      const char* value = word.c_str() + sizeof(TIMEOUT_ASSIGNMENT) - 1;
      if (!readTimeLimit(value, options.timeLimit))
        return usageError("bad time limit " + TRpcSrv::Escape(value));
    } else if (word == "-h" || word == "--help") {
      std::fputs(USAGE, stdout);
      std::fputs(OPTIONS_HELP, stdout);
      return EXIT_SUCCESS;
    } else if (word == "-V" || word == "--version") {
      std::fputs("rpcset " RPCSET_VERSION "\n", stdout);
      return EXIT_SUCCESS;
    } else {
      return usageError("unknown option " + TRpcSrv::Escape(word));
    }
  }

  const Words operands(argv + next, argv + argc);
  const size_t firstCallWord = 2;
  if (operands.size() < (options.batch ? firstCallWord : firstCallWord + 1))
    return usageError("too few words");
  if (!isPort(operands[1])) return usageError("bad port " + TRpcSrv::Escape(operands[1]));
  const Words call(operands.begin() + firstCallWord, operands.end());
  if (options.batch && !call.empty()) return usageError("extra word " + TRpcSrv::Escape(call[0]));
  if (!options.batch) {
    const std::string reason = checkCall(call);
    if (!reason.empty()) return usageError(reason);
  }

  TRpcSrv proxy;
  proxy.SetTimeLimit(options.timeLimit);
  proxy.SetVerbose(options.verbose);
  proxy.RPCSrvConnect(operands[0].c_str(), operands[1].c_str());
  int status;
  if (options.batch) {
    status = runBatch(proxy);
  } else {
    send(proxy, call);
    status = report(proxy, "rpcset: ", false);
  }
  return options.fail ? status : EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && argv[1][0] == '-') return runWithOptions(argc, argv);
  return runWithoutOptions(argc, argv);
}
