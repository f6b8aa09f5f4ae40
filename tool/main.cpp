// rpcset: sends provisioning calls, SetBOOT or SetDHCP, to an XML-RPC server.
//   rpcset [OPTION...] SRV_IP SRV_PORT boot MAC_INFO PROC_INFO
//   rpcset [OPTION...] SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO
//   rpcset [OPTION...] --batch SRV_IP SRV_PORT < calls
//   rpcset [OPTION...] --url URL boot|dhcp ...   (and --url URL --batch)
// Scripts rely on the command lines without options: they send, print and exit
// exactly as rpcset always has. Everything new comes through options.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TRpcSrv.h"
#include "XmlRpcUtil.h"

namespace {

// Exit statuses under --fail; a usage error exits with EXIT_USAGE with or without it.
constexpr int EXIT_CALL_FAILED = 1;
constexpr int EXIT_FAULT = 2;
constexpr int EXIT_USAGE = 64;  // EX_USAGE of sysexits.h

constexpr long LOWEST_PORT = 1;
constexpr long HIGHEST_PORT = 65535;

const char USAGE[] =
    "usage: rpcset [OPTION...] SRV_IP SRV_PORT boot MAC_INFO PROC_INFO\n"
    "rpcset [OPTION...] SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO\n"
    "rpcset [OPTION...] --batch SRV_IP SRV_PORT < calls\n"
    "rpcset [OPTION...] --url URL boot MAC_INFO PROC_INFO\n"
    "rpcset [OPTION...] --url URL dhcp MAC_INFO PS_NUM IP_INFO\n"
    "rpcset [OPTION...] --url URL --batch < calls\n";

const char OPTIONS_HELP[] =
    "\n"
    "Sends SetBOOT(PROC_INFO, MAC_INFO) or SetDHCP(PS_NUM, MAC_INFO, IP_INFO)\n"
    "to http://SRV_IP:SRV_PORT/RPC2, or to URL.\n"
    "\n"
    "Options:\n"
    "  --url URL              call URL: http://[USER[:PASSWORD]@]HOST[:PORT][/PATH],\n"
    "                         https://... or unix:///SOCKET/PATH\n"
    "  -u, --user USER        send USER with the password in the environment\n"
    "                         variable RPCSET_PASSWORD\n"
    "  --cacert FILE          trust the certificates in FILE, not the system's\n"
    "  --cert FILE            send the client certificate in FILE (PEM)\n"
    "  --key FILE             the key of --cert, when not in its file\n"
    "  -k, --insecure         do not check the server's certificate or name\n"
    "  -f, --fail             exit status 0 success, 1 failed exchange, 2 fault,\n"
    "                         64 usage error (also without --fail)\n"
    "  -t, --timeout SECONDS  give up on a call after SECONDS (such as 2 or 0.5)\n"
    "  -v, --verbose          show each request and response body on standard error\n"
    "  -b, --batch            one call per line of standard input, in the command\n"
    "                         line's words: boot MAC_INFO PROC_INFO or\n"
    "                         dhcp MAC_INFO PS_NUM IP_INFO; blank lines and lines\n"
    "                         starting with # are skipped\n"
    "  --no-progress          no progress line on a terminal during --batch\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "  --                     end of the options\n";

const char PASSWORD_VARIABLE[] = "RPCSET_PASSWORD";
// A progress line is redrawn at most this often.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL(100);

using Words = std::vector<std::string>;

struct Operation {
  const char* word;
  size_t wordCount;  // the operation word and its operands
  const char* operands;
};
const Operation OPERATIONS[] = {{"boot", 3, "MAC_INFO PROC_INFO"},
                                {"dhcp", 4, "MAC_INFO PS_NUM IP_INFO"}};

// The options that take a value, as the next word or after "=" of the long name.
enum ValueOption { TIMEOUT, URL, CACERT, CERT, KEY, USER };
struct ValueOptionName {
  const char* shortName;
  const char* longName;
  const char* value;
};
const ValueOptionName VALUE_OPTIONS[] = {{"-t", "--timeout", "SECONDS"}, {"", "--url", "URL"},
                                         {"", "--cacert", "FILE"},       {"", "--cert", "FILE"},
                                         {"", "--key", "FILE"},          {"-u", "--user", "USER"}};

struct Options {
  bool fail = false;
  bool verbose = false;
  bool batch = false;
  bool progress = true;
  double timeLimit = -1.0;
  const char* url = nullptr;
  const char* user = nullptr;
  XmlRpc::XmlRpcConnection::TlsOptions tls;
  // The first TLS option given, for a usage error that names it.
  std::string tlsOption;
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

// With options, the reason comes first and "usage:" marks the lines after it.
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

// The line that a batch keeps at the foot of a terminal, so that a batch over a
// slow link does not look hung. It makes way for every other line: the
// client's error lines come through it, and the others call erase() first.
class Progress : public XmlRpc::XmlRpcErrorHandler {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Progress(bool shown)
      : _shown(shown), _start(Clock::now()), _lastDrawn(_start - PROGRESS_INTERVAL) {
    if (_shown) setErrorHandler(this);
  }
  ~Progress() {
    erase();
    if (_shown) setErrorHandler(_previous);
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void lineRead() { ++_lines; }
  void badLine() { ++_failures; }
  // Counts a call and redraws the line when its interval has passed.
  void callEnded(bool failed) {
    ++_calls;
    _failures += failed ? 1 : 0;
    const Clock::time_point now = Clock::now();
    if (!_shown || now - _lastDrawn < PROGRESS_INTERVAL) return;
    _lastDrawn = now;
    const double seconds = std::chrono::duration<double>(now - _start).count();
    std::fprintf(stderr, "\rrpcset: %ld lines read, %ld calls, %ld failures, %.1f calls/s\x1b[K",
                 _lines, _calls, _failures,
                 seconds > 0 ? static_cast<double>(_calls) / seconds : 0.0);
    std::fflush(stderr);
    _drawn = true;
  }
  void erase() {
    if (!_drawn) return;
    std::fputs("\r\x1b[K", stderr);
    _drawn = false;
  }
  void error(const char* msg) override {
    erase();
    _previous->error(msg);
  }

 private:
  const bool _shown;
  XmlRpc::XmlRpcErrorHandler* const _previous = getErrorHandler();
  const Clock::time_point _start;
  Clock::time_point _lastDrawn;
  bool _drawn = false;
  long _lines = 0;
  long _calls = 0;
  long _failures = 0;
};

// Sends one call per line of standard input, all on the proxy's one kept
// connection; the worst exit status of any line.
int runBatch(TRpcSrv& proxy, bool showProgress) {
  Progress progress(showProgress);
  proxy.SetBeforeLine([&progress] { progress.erase(); });
  int worst = EXIT_SUCCESS;
  std::string line;
  for (int number = 1; readLine(stdin, line); ++number) {
    progress.lineRead();
    const Words call = splitWords(line);
    if (call.empty() || line[0] == '#') continue;

    const std::string prefix = "rpcset: line " + std::to_string(number) + ": ";
    const std::string reason = checkBatchCall(call);
    int status;
    if (!reason.empty()) {
      progress.badLine();
      progress.erase();
      std::fprintf(stderr, "%s%s\n", prefix.c_str(), reason.c_str());
      status = EXIT_USAGE;
    } else {
      send(proxy, call);
      if (proxy.LastOutcome() != TRpcSrv::CALL_SUCCEEDED) progress.erase();
      status = report(proxy, prefix, true);
      progress.callEnded(status != EXIT_SUCCESS);
    }
    worst = std::max(worst, status);
  }
  proxy.SetBeforeLine(nullptr);
  return worst;
}

// Takes the value of an option; what is wrong with it, or "".
std::string takeValue(Options& options, ValueOption option, const char* value) {
  const char* const name = VALUE_OPTIONS[option].longName;
  if (option >= CACERT && option <= KEY) {
    if (*value == '\0') return std::string("option ") + name + " needs FILE";
    std::string& file = option == CACERT ? options.tls.caFile
                        : option == CERT ? options.tls.certFile
                                         : options.tls.keyFile;
    file = value;
    if (options.tlsOption.empty()) options.tlsOption = name;
    return "";
  }
  if (option == URL) options.url = value;
  if (option == USER) options.user = value;
  if (option == TIMEOUT && !readTimeLimit(value, options.timeLimit))
    return "bad time limit " + TRpcSrv::Escape(value);
  return "";
}

// Whether `word` is a value option, in either form; its value then goes to
// `options`, and what is wrong with it to `reason`. Moves `next` past a value
// in the next word.
bool readValueOption(Options& options, const std::string& word, int argc, char* argv[], int& next,
                     std::string& reason) {
  // A value after "=" stays in argv, as the options keep pointers into it.
  const char* const whole = argv[next - 1];
  for (const ValueOptionName& name : VALUE_OPTIONS) {
    const ValueOption option = static_cast<ValueOption>(&name - VALUE_OPTIONS);
    const size_t length = std::strlen(name.longName);
    if (word == name.longName || word == name.shortName) {
      reason = next == argc ? "option " + word + " needs " + name.value
                            : takeValue(options, option, argv[next++]);
      return true;
    }
    if (word.compare(0, length, name.longName) == 0 && word[length] == '=') {
      reason = takeValue(options, option, whole + length + 1);
      return true;
    }
  }
  return false;
}

// Makes the proxy's client as the options say; what is wrong, or "".
std::string prepare(TRpcSrv& proxy, const Options& options, const Words& operands) {
  proxy.SetTimeLimit(options.timeLimit);
  proxy.SetVerbose(options.verbose);
  std::string reason;
  if (options.url == nullptr)
    proxy.RPCSrvConnect(operands[0].c_str(), operands[1].c_str());
  else if (proxy.RPCSrvConnect(options.url, reason) != 1)
    return reason;

  if (!options.tlsOption.empty()) {
    if (!options.tls.keyFile.empty() && options.tls.certFile.empty()) return "--key needs --cert";
    const std::string url = proxy.Url();
    if (url.compare(0, 8, "https://") != 0)
      return options.tlsOption + " needs an https URL, not " + url;
    reason = proxy.SetTls(options.tls);
    if (!reason.empty()) return reason;
  }
  if (options.user != nullptr) {
    // Set, even to "", it is the password: a command line is visible to every
    // user of the machine, the environment is not.
    const char* password = std::getenv(PASSWORD_VARIABLE);
    if (password == nullptr)
      return std::string("-u needs the password in ") + PASSWORD_VARIABLE + ", which is not set";
    proxy.SetBasicAuth(options.user, password);
  }
  return "";
}

// Options are the words before the operands that begin with "-", one option a word.
int runWithOptions(int argc, char* argv[]) {
  Options options;
  int next = 1;
  while (next < argc && argv[next][0] == '-') {
    const std::string word = argv[next++];
    std::string reason;
    if (word == "--") break;
    if (readValueOption(options, word, argc, argv, next, reason)) {
      if (!reason.empty()) return usageError(reason);
    } else if (word == "-f" || word == "--fail") {
      options.fail = true;
    } else if (word == "-v" || word == "--verbose") {
      options.verbose = true;
    } else if (word == "-b" || word == "--batch") {
      options.batch = true;
    } else if (word == "-k" || word == "--insecure") {
      options.tls.verifyPeer = false;
      if (options.tlsOption.empty()) options.tlsOption = word;
    } else if (word == "--no-progress") {
      options.progress = false;
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
  // --url takes the place of SRV_IP SRV_PORT.
  const size_t firstCallWord = options.url == nullptr ? 2 : 0;
  if (operands.size() < (options.batch ? firstCallWord : firstCallWord + 1))
    return usageError("too few words");
  if (firstCallWord > 0 && !isPort(operands[1]))
    return usageError("bad port " + TRpcSrv::Escape(operands[1]));
  const Words call(operands.begin() + firstCallWord, operands.end());
  if (options.batch && !call.empty()) return usageError("extra word " + TRpcSrv::Escape(call[0]));
  if (!options.batch) {
    std::string reason = checkCall(call);
    if (!reason.empty() && firstCallWord == 0 && call.size() > 1 && isPort(call[1]))
      reason = "SRV_IP SRV_PORT with --url";
    if (!reason.empty()) return usageError(reason);
  }

  TRpcSrv proxy;
  const std::string reason = prepare(proxy, options, operands);
  if (!reason.empty()) return usageError(reason);
  int status;
  if (options.batch) {
    status = runBatch(proxy, options.progress && ::isatty(STDERR_FILENO) == 1);
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
