// Fuzz target for the response header scan. The first input byte chooses how
// the rest is split into reads; the scan must decide after every read exactly
// as a scan of everything received so far from its first byte decides.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XmlRpcClient.h"
#include "XmlRpcUtil.h"
#include "fuzz_support.h"

using corvane::fuzz::require;

namespace {

// Never dialled: the client only scans.
const char UNUSED_HOST[] = "fuzz.invalid";
constexpr int UNUSED_PORT = 9;

const char LENGTH_FIELD[] = "Content-length: ";
constexpr std::size_t LENGTH_FIELD_SIZE = sizeof(LENGTH_FIELD) - 1;
const char CRLF_BLANK_LINE[] = "\r\n\r\n";
const char LF_BLANK_LINE[] = "\n\n";

// Reads of 1 to this many bytes: a field name split across reads is the
// case an incremental scan can get wrong.
constexpr unsigned MAX_READ_SIZE = 2 * LENGTH_FIELD_SIZE + 3;

enum class Status { Incomplete, Invalid, Complete };

struct Outcome {
  Status status = Status::Incomplete;
  int contentLength = 0;
  std::string body;
};

// Exposes the protected scan: bytes arrive as reads append them to the header.
class HeaderScanner : public XmlRpc::XmlRpcClient {
 public:
  HeaderScanner() : XmlRpcClient(UNUSED_HOST, UNUSED_PORT) {}

  Outcome receive(const std::string& bytes) {
    _header += bytes;
    Outcome outcome;
    switch (parseHeader()) {
      case HEADER_INCOMPLETE:
        outcome.status = Status::Incomplete;
        break;
      case HEADER_INVALID:
        outcome.status = Status::Invalid;
        break;
      case HEADER_COMPLETE:
        outcome.status = Status::Complete;
        outcome.body = _response;
        break;
    }
    outcome.contentLength = _contentLength;
    return outcome;
  }
  bool headerCleared() const { return _header.empty(); }
};

bool equalIgnoringCase(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    if (lower(x) != lower(y)) return false;
  }
  return true;
}

// The scan as first defined: from the first byte of everything received.
Outcome scanFromStart(const std::string& header) {
  Outcome outcome;
  std::size_t lengthValue = std::string::npos;
  std::size_t bodyStart = std::string::npos;
  for (std::size_t pos = 0; pos < header.length() && bodyStart == std::string::npos; ++pos) {
    const std::size_t rest = header.length() - pos;
    const char* at = header.data() + pos;
    if (rest > LENGTH_FIELD_SIZE && equalIgnoringCase(at, LENGTH_FIELD, LENGTH_FIELD_SIZE)) {
      lengthValue = pos + LENGTH_FIELD_SIZE;
    } else if (rest > 4 && std::memcmp(at, CRLF_BLANK_LINE, 4) == 0) {
      bodyStart = pos + 4;
    } else if (rest > 2 && std::memcmp(at, LF_BLANK_LINE, 2) == 0) {
      bodyStart = pos + 2;
    }
  }
  if (bodyStart == std::string::npos) return outcome;
  outcome.status = Status::Invalid;
  if (lengthValue == std::string::npos) return outcome;
  long announced = std::strtol(header.c_str() + lengthValue, nullptr, 10);
  if (announced > INT_MAX) announced = INT_MAX;
  if (announced < INT_MIN) announced = INT_MIN;
  outcome.contentLength = static_cast<int>(announced);
  if (outcome.contentLength <= 0) return outcome;
  outcome.status = Status::Complete;
  outcome.body = header.substr(bodyStart);
  return outcome;
}

// Feeds `header` in reads whose sizes come from `seed`, checking after each one.
void scanInReads(const std::string& header, unsigned seed, bool oneRead) {
  HeaderScanner client;
  const corvane::fuzz::CountingErrors& errors = corvane::fuzz::countedErrors();
  std::size_t received = 0;
  unsigned state = seed;
  do {
    // A small linear congruential sequence is enough to vary the read sizes.
    state = state * 1103515245u + 12345u;
    const std::size_t readSize = oneRead ? header.length() : 1 + (state >> 16) % MAX_READ_SIZE;
    const std::string bytes = header.substr(received, readSize);
    received += bytes.length();
    const std::string seen = header.substr(0, received);
    const Outcome got = client.receive(bytes);
    const Outcome want = scanFromStart(seen);
    require(got.status == want.status, "the scan decided otherwise than a scan from the start",
            seen);
    if (got.status == Status::Incomplete) {
      require(errors.lines == 0, "an incomplete header reported an error", seen);
      continue;
    }
    require(got.contentLength == want.contentLength, "the scan read another content length", seen);
    if (got.status == Status::Invalid) {
      require(errors.lines == 1, "an invalid header did not report exactly one error line", seen);
    } else {
      require(errors.lines == 0, "a complete header reported an error", seen);
      require(got.body == want.body, "the scan kept other body bytes", seen);
      require(client.headerCleared(), "a complete header was not cleared", seen);
    }
    return;
  } while (received < header.length());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;

  const std::string header(reinterpret_cast<const char*>(data) + 1, size - 1);
  scanInReads(header, data[0], true);
  scanInReads(header, data[0], false);
  return 0;
}
