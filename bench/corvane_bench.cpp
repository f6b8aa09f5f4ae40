// Throughput of the value coders on the payloads of make_payloads.py, the cost
// of the response header scan and of framing bodies, a library call over
// loopback, small calls on one kept connection, and the memory a client holds
// after a large call.
//
//   corvane_bench --payloads=DIR [Google Benchmark flags]
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "XmlRpcClient.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"

using XmlRpc::XmlRpcClient;
using XmlRpc::XmlRpcUtil;
using XmlRpc::XmlRpcValue;

namespace {

const char* const PAYLOADS[] = {"mixed-100k", "mixed-1m", "mixed-10m", "binary-10m", "strings"};
// The mixed payloads lead the list, the largest last.
constexpr std::size_t MIXED_COUNT = 3;
constexpr std::size_t MIXED_10M = 2;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "corvane_bench: cannot read %s (run make_payloads.py first)\n",
                 path.c_str());
    std::exit(2);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the client does with a response body, without the error reporting.
bool decodeResponse(const std::string& body, XmlRpcValue& result) {
  int offset = 0;
  return XmlRpcUtil::findTag(XmlRpcClient::METHODRESPONSE_TAG, body, &offset) &&
         XmlRpcUtil::nextTagIs(XmlRpcClient::PARAMS_TAG, body, &offset) &&
         XmlRpcUtil::nextTagIs(XmlRpcClient::PARAM_TAG, body, &offset) &&
         result.fromXml(body, &offset);
}

// Decoding ends with the value built; releasing it is timed on its own, by
// `release`, because freeing a tree of small blocks is the allocator's cost.
void decode(benchmark::State& state, const std::string* body) {
  XmlRpcValue result;
  for (auto _ : state) {
    if (!decodeResponse(*body, result)) state.SkipWithError("decoding failed");
    benchmark::DoNotOptimize(result);
    state.PauseTiming();
    result.clear();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body->size()));
}

// Freeing the decoded value, counted in bytes of its payload text.
void release(benchmark::State& state, const std::string* body) {
  XmlRpcValue result;
  for (auto _ : state) {
    state.PauseTiming();
    if (!decodeResponse(*body, result)) state.SkipWithError("decoding failed");
    state.ResumeTiming();
    result.clear();
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body->size()));
}

// Throughput counted in bytes of the payload text, as for decoding. The text
// is appended to a buffer the caller keeps, so that the row measures writing
// it rather than the string's regrowth from empty; `request` shows a call's
// request built in a fresh buffer.
void encode(benchmark::State& state, const std::string* body) {
  XmlRpcValue value;
  if (!decodeResponse(*body, value)) {
    state.SkipWithError("decoding failed");
    return;
  }
  std::string xml;
  for (auto _ : state) {
    xml.clear();
    value.toXml(xml);
    benchmark::DoNotOptimize(xml.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body->size()));
}

// Opens the protected steps of a call to the benchmarks.
class OpenClient : public XmlRpcClient {
 public:
  OpenClient() : XmlRpcClient("127.0.0.1", 1) {}
  using XmlRpcClient::_header;
  using XmlRpcClient::_request;
  using XmlRpcClient::_response;
  using XmlRpcClient::BODY_COMPLETE;
  using XmlRpcClient::BODY_INCOMPLETE;
  using XmlRpcClient::BodyStatus;
  using XmlRpcClient::generateRequest;
  using XmlRpcClient::HEADER_COMPLETE;
  using XmlRpcClient::HEADER_INCOMPLETE;
  using XmlRpcClient::HeaderStatus;
  using XmlRpcClient::parseBody;
  using XmlRpcClient::parseHeader;
};

// The whole request of a call with the decoded payload as its one parameter.
void request(benchmark::State& state, const std::string* body) {
  XmlRpcValue value;
  if (!decodeResponse(*body, value)) {
    state.SkipWithError("decoding failed");
    return;
  }
  OpenClient client;
  for (auto _ : state) {
    client.generateRequest("bench.echo", value);
    benchmark::DoNotOptimize(client._request.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body->size()));
}

// A header of about `size` bytes arriving in reads of a typical TCP segment
// size, scanned after each read as readHeader does. Each read comes from one
// small buffer, as the socket layer's reads do.
void headerScan(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::string status = "HTTP/1.1 200 OK\r\nContent-length: 1\r\n";
  // Eight filler fields of 181 bytes fill one 1448-byte segment.
  std::string field = "X-Filler: ";
  while (field.size() < 179)
    field += "abcdefghijklmnopqrstuvwxyz0123456789";
  field.resize(179);
  field += "\r\n";
  std::string segment;
  for (int i = 0; i < 8; ++i)
    segment += field;
  const std::size_t segments = size / segment.size();
  const std::string end = "\r\nx";
  const std::size_t total = status.size() + segments * segment.size() + end.size();

  for (auto _ : state) {
    // A fresh client starts a fresh scan.
    OpenClient client;
    client._header = status;
    bool complete = client.parseHeader() == OpenClient::HEADER_COMPLETE;
    for (std::size_t i = 0; i < segments && !complete; ++i) {
      client._header += segment;
      complete = client.parseHeader() == OpenClient::HEADER_COMPLETE;
    }
    client._header += end;
    if (complete || client.parseHeader() != OpenClient::HEADER_COMPLETE)
      state.SkipWithError("header not read as a whole");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

// A body of range(0) bytes, in chunks of range(1) bytes or by its length when
// that is 0, arriving in reads of a typical TCP segment size and framed after
// each one, as readResponse does. Counted in bytes of the decoded body.
void bodyFraming(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::size_t chunk = static_cast<std::size_t>(state.range(1));
  constexpr std::size_t READ_SIZE = 1448;
  const std::string data(chunk ? chunk : READ_SIZE, 'x');
  auto record = [&](std::size_t n) {
    if (chunk == 0) return data.substr(0, n);
    char sizeLine[32];
    std::snprintf(sizeLine, sizeof(sizeLine), "%zx\r\n", n);
    return sizeLine + data.substr(0, n) + "\r\n";
  };
  // The response is the head, `count` equal pieces, then the tail. Each read
  // is copied from a few kilobytes of pieces, as a socket read comes from a
  // small buffer, so that only the client's own buffer grows with the size.
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n" +
                           (chunk ? std::string("Transfer-Encoding: chunked")
                                  : "Content-length: " + std::to_string(size)) +
                           "\r\n\r\n";
  const std::string one = record(data.size());
  const std::size_t count = size / data.size();
  const std::string tail =
      (size % data.size() ? record(size % data.size()) : "") + (chunk ? "0\r\n\r\n" : "");
  std::string pieces;
  while (pieces.size() < one.size() + READ_SIZE)
    pieces += one;
  const std::size_t piecesEnd = head.size() + count * one.size();
  const std::size_t total = piecesEnd + tail.size();
  auto read = [&](std::string& into, std::size_t at) {
    for (std::size_t left = std::min(READ_SIZE, total - at), piece; left > 0;
         at += piece, left -= piece) {
      if (at < head.size()) {
        piece = std::min(left, head.size() - at);
        into.append(head, at, piece);
      } else if (at < piecesEnd) {
        piece = std::min(left, piecesEnd - at);
        into.append(pieces, (at - head.size()) % one.size(), piece);
      } else {
        piece = left;
        into.append(tail, at - piecesEnd, piece);
      }
    }
  };

  for (auto _ : state) {
    // A fresh client starts a fresh response.
    OpenClient client;
    read(client._header, 0);
    if (client.parseHeader() != OpenClient::HEADER_COMPLETE) {
      state.SkipWithError("header not read");
      break;
    }
    OpenClient::BodyStatus status = client.parseBody();
    for (std::size_t at = READ_SIZE; status == OpenClient::BODY_INCOMPLETE && at < total;
         at += READ_SIZE) {
      read(client._response, at);
      status = client.parseBody();
    }
    if (status != OpenClient::BODY_COMPLETE || client._response.size() != size)
      state.SkipWithError("body not read as a whole");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// A loopback HTTP server on its own thread that answers every request on a
// connection with the same response, until the client closes it.
class FixedServer {
 public:
  explicit FixedServer(const std::string& body) {
    _response = "HTTP/1.1 200 OK\r\nServer: bench\r\nContent-Type: text/xml\r\nContent-length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
    _listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(_listener, 64) != 0) {
      std::perror("corvane_bench: server");
      std::exit(2);
    }
    socklen_t len = sizeof(addr);
    ::getsockname(_listener, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { serve(); });
  }

  ~FixedServer() {
    _stop = true;
    ::shutdown(_listener, SHUT_RDWR);
    _thread.join();
    ::close(_listener);
  }

  FixedServer(const FixedServer&) = delete;
  FixedServer& operator=(const FixedServer&) = delete;

  int port() const { return _port; }

 private:
  void serve() {
    while (!_stop) {
      const int fd = ::accept(_listener, nullptr, nullptr);
      if (fd < 0) {
        if (_stop) return;
        continue;
      }
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &on, sizeof(on));
      while (readRequest(fd) && writeAll(fd, _response)) {
      }
      ::close(fd);
    }
  }

  // Reads one whole request: the header, then Content-length bytes of body.
  bool readRequest(int fd) {
    std::size_t headerEnd;
    while ((headerEnd = _in.find("\r\n\r\n")) == std::string::npos) {
      if (!readMore(fd)) return false;
    }
    std::size_t length = 0;
    for (std::size_t pos = 0; pos < headerEnd; ++pos) {
      if (strncasecmp(_in.c_str() + pos, "Content-length: ", 16) == 0)
        length = std::strtoul(_in.c_str() + pos + 16, nullptr, 10);
    }
    const std::size_t total = headerEnd + 4 + length;
    while (_in.size() < total) {
      if (!readMore(fd)) return false;
    }
    _in.erase(0, total);
    return true;
  }

  bool readMore(int fd) {
    char buf[65536];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) {
      _in.clear();
      return false;
    }
    _in.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  static bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::string _response;
  std::string _in;
  int _listener = -1;
  int _port = 0;
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

// One library call answered with a large response, on a kept connection.
void libraryCall(benchmark::State& state, const std::string* body) {
  FixedServer server(*body);
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue params;
  params[0] = "bench";
  std::vector<double> seconds;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    XmlRpcValue result;
    if (!client.execute("bench.get", params, result)) {
      state.SkipWithError("call failed");
      break;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds.push_back(elapsed.count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body->size()));
  if (!seconds.empty()) {
    std::nth_element(seconds.begin(), seconds.begin() + seconds.size() / 2, seconds.end());
    state.counters["median_us"] = seconds[seconds.size() / 2] * 1e6;
  }
}

// Small calls one after another on one kept connection: calls per second, in
// real time, since most of a call is waiting for the server.
void smallCalls(benchmark::State& state) {
  FixedServer server(
      "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>7</i4></value>"
      "</param></params></methodResponse>\r\n");
  XmlRpcClient client("127.0.0.1", server.port());
  XmlRpcValue params, result;
  params[0] = "00:11:22:33:44:55";
  params[1] = "pxelinux.0";
  for (auto _ : state) {
    if (!client.execute("SetBOOT", params, result)) {
      state.SkipWithError("call failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Bytes that the allocator has handed out and not had back, in every arena.
std::size_t heapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

constexpr std::size_t LARGE_ANSWER_SIZE = 20 * 1000 * 1000;

// The heap that a client holds between calls, after one call with a 20 MB
// answer whose result has been released.
void heldAfterLargeCall(benchmark::State& state) {
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><string>" +
      std::string(LARGE_ANSWER_SIZE, 'x') + "</string></value></param></params></methodResponse>";
  FixedServer server(body);
  XmlRpcValue params;
  params[0] = "bench";
  std::size_t held = 0;
  for (auto _ : state) {
    const std::size_t before = heapInUse();
    XmlRpcClient client("127.0.0.1", server.port());
    {
      XmlRpcValue result;
      if (!client.execute("bench.get", params, result)) {
        state.SkipWithError("call failed");
        break;
      }
    }
    held = heapInUse() - before;
  }
  state.counters["held_kB"] = static_cast<double>(held) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string dir = ".";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--payloads=", 11) == 0) {
      dir = argv[i] + 11;
    } else {
      std::fprintf(stderr, "usage: %s --payloads=DIR [benchmark flags]\n", argv[0]);
      return 2;
    }
  }

  static std::vector<std::string> bodies;
  bodies.reserve(std::size(PAYLOADS));
  for (const char* name : PAYLOADS)
    bodies.push_back(readFile(dir + "/" + name + ".xml"));

  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const std::string name = PAYLOADS[i];
    benchmark::RegisterBenchmark(("decode/" + name).c_str(), decode, &bodies[i])
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("encode/" + name).c_str(), encode, &bodies[i])
        ->Unit(benchmark::kMillisecond);
  }
  // Each release needs an untimed decode, so a short measuring time is enough.
  for (std::size_t i = 0; i < MIXED_COUNT; ++i) {
    benchmark::RegisterBenchmark((std::string("release/") + PAYLOADS[i]).c_str(), release,
                                 &bodies[i])
        ->MinTime(0.1)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("request/mixed-10m", request, &bodies[MIXED_10M])
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("headerscan", headerScan)
      ->Arg(100 * 1000)
      ->Arg(1000 * 1000)
      ->Arg(10 * 1000 * 1000)
      ->Unit(benchmark::kMillisecond);
  for (int64_t chunk : {0, 1, 1448}) {
    benchmark::RegisterBenchmark("body", bodyFraming)
        ->Args({100 * 1000, chunk})
        ->Args({1000 * 1000, chunk})
        ->Args({10 * 1000 * 1000, chunk})
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("call/library-mixed-10m", libraryCall, &bodies[MIXED_10M])
      ->UseManualTime()
      ->Iterations(15)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("call/small-kept", smallCalls)->MinTime(1.0)->UseRealTime();
  benchmark::RegisterBenchmark("call/held-after-20mb", heldAfterLargeCall)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
