// A Modbus TCP server made of libmodbus, listening on a free port of 127.0.0.1: it prints the
// address a master opens (modbus-tcp://127.0.0.1:PORT), then serves one connection after the
// other until killed. Holding register i starts as SlaveRegisterValue(i) (see SlaveProcess.h).
//
// Usage: modbus_tcp_server [unit id, ignored: a TCP server answers every unit id] [registers]
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/interop/SlaveProcess.h"

int main(int argc, char** argv) {
  const int registers = argc > 2 ? std::atoi(argv[2]) : 400;
  // Port 0: the system picks a free one, read back below.
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
  modbus_mapping_t* map = modbus_mapping_new(0, 0, registers, 0);
  if (ctx == nullptr || map == nullptr) return 1;
  for (int i = 0; i < registers; ++i) map->tab_registers[i] = oxa::interop::SlaveRegisterValue(i);
  const int listener = modbus_tcp_listen(ctx, 1);
  if (listener < 0) return 1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 1;
  std::printf("modbus-tcp://127.0.0.1:%u\n", static_cast<unsigned>(ntohs(bound.sin_port)));
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    int listening = listener;
    if (modbus_tcp_accept(ctx, &listening) < 0) return 2;
    for (;;) {
      const int rc = modbus_receive(ctx, query);
      if (rc > 0) {
        modbus_reply(ctx, query, rc, map);
      } else if (rc < 0 && errno != EINTR) {
        break;  // the master closed its connection: wait for the next one
      }
    }
    close(modbus_get_socket(ctx));
  }
}
