// A program built against an installed Corvane: one SetBOOT call, its result printed.
#include <cstdlib>
#include <iostream>

#include "XmlRpcClient.h"
#include "XmlRpcValue.h"

int main(int argc, char* argv[]) {
  if (argc < 3) return 2;
  XmlRpc::XmlRpcClient client(argv[1], std::atoi(argv[2]));
  XmlRpc::XmlRpcValue params;
  XmlRpc::XmlRpcValue result;
  params[0] = "pxe";
  params[1] = "00:11:22:33:44:55";
  if (!client.execute("SetBOOT", params, result) || client.isFault()) return 1;
  std::cout << "result " << result << std::endl;
  return 0;
}
