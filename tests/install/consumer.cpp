// Built against an installed Corvane: prints its version, then one SetBOOT call's result.
#include <corvane/XmlRpc.h>

#include <cstdlib>
#include <iostream>

int main(int argc, char* argv[]) {
  if (argc < 3) return 2;
  XmlRpc::XmlRpcClient client(argv[1], std::atoi(argv[2]));
  XmlRpc::XmlRpcValue params;
  XmlRpc::XmlRpcValue result;
  params[0] = "pxe";
  params[1] = "00:11:22:33:44:55";
  if (!client.execute("SetBOOT", params, result) || client.isFault()) return 1;
  std::cout << "corvane " << CORVANE_VERSION_MAJOR << "." << CORVANE_VERSION_MINOR << "."
            << CORVANE_VERSION_PATCH << " result " << result << std::endl;
  return 0;
}
