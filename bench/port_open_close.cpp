// The peer of fulctl_bench: a bare process that only opens the port at PATH and closes it
// again, through the same port component fulctl uses.
#include <cstdio>

#include "serial/OxaComPort.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: port_open_close PATH\n");
    return 2;
  }
  oxa::ToxaComPort port;
  port.SetDeviceMap({{1, argv[1]}});
  if (!port.Open()) return 5;
  port.Close();
  return 0;
}
