// One decode or one encode of one payload of make_payloads.py, for counting
// instructions with callgrind, which the machine's load does not change:
//
//   valgrind --tool=callgrind --toggle-collect='*measuredDecode*' codec_once decode FILE
//
// "heap" prints the bytes that the decoded value holds, by mallinfo2.
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "XmlRpcClient.h"
#include "XmlRpcUtil.h"
#include "XmlRpcValue.h"

using XmlRpc::XmlRpcClient;
using XmlRpc::XmlRpcUtil;
using XmlRpc::XmlRpcValue;

namespace {

// Out of line, so that callgrind's toggle finds them by name.
[[gnu::noinline]] bool measuredDecode(const std::string& body, XmlRpcValue& result) {
  int offset = 0;
  return XmlRpcUtil::findTag(XmlRpcClient::METHODRESPONSE_TAG, body, &offset) &&
         XmlRpcUtil::nextTagIs(XmlRpcClient::PARAMS_TAG, body, &offset) &&
         XmlRpcUtil::nextTagIs(XmlRpcClient::PARAM_TAG, body, &offset) &&
         result.fromXml(body, &offset);
}

[[gnu::noinline]] void measuredEncode(const XmlRpcValue& value, std::string& xml) {
  value.toXml(xml);
}

std::size_t heapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "decode") != 0 && std::strcmp(argv[1], "encode") != 0 &&
                    std::strcmp(argv[1], "heap") != 0)) {
    std::fprintf(stderr, "usage: %s decode|encode|heap PAYLOAD.xml\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string body = text.str();

  const std::size_t before = heapInUse();
  XmlRpcValue value;
  if (!measuredDecode(body, value)) {
    std::fprintf(stderr, "%s: cannot decode %s\n", argv[0], argv[2]);
    return 1;
  }
  if (argv[1][0] == 'h') {
    std::printf("%zu\n", heapInUse() - before);
  } else if (argv[1][0] == 'e') {
    // The buffer is as large as the text beforehand, as when a kept buffer is reused.
    std::string xml;
    xml.reserve(2 * body.size());
    measuredEncode(value, xml);
    std::printf("%zu\n", xml.size());
  }
  return 0;
}
