// rpcset: sends one provisioning call, SetBOOT or SetDHCP, to an XML-RPC server.
//   rpcset SRV_IP SRV_PORT boot MAC_INFO PROC_INFO
//   rpcset SRV_IP SRV_PORT dhcp MAC_INFO PS_NUM IP_INFO
#include <cstdio>
#include <string>

#include "TRpcSrv.h"

int main(int argc, char* argv[]) {
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
