// A Modbus RTU slave made of libmodbus, on a pseudo-terminal of its own: it prints the path of
// the terminal end for a master to open, then answers requests to its address until killed.
// Holding register i starts as SlaveRegisterValue(i) (see SlaveProcess.h).
//
// Usage: modbus_rtu_slave [address] [registers]
#include <fcntl.h>
#include <modbus.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/interop/SlaveProcess.h"

int main(int argc, char** argv) {
  const int address = argc > 1 ? std::atoi(argv[1]) : 1;
  const int registers = argc > 2 ? std::atoi(argv[2]) : 400;

  const int ptm = posix_openpt(O_RDWR | O_NOCTTY);
  if (ptm < 0 || grantpt(ptm) != 0 || unlockpt(ptm) != 0) return 1;
  const char* path = ptsname(ptm);
  if (path == nullptr) return 1;
  // Holding the terminal end open keeps the line up between the master's sessions (no hang-up
  // on our side when it closes), and makes it raw before any master configures it.
  const int pts = open(path, O_RDWR | O_NOCTTY);
  if (pts < 0) return 1;
  termios tio{};
  tcgetattr(pts, &tio);
  cfmakeraw(&tio);
  tcsetattr(pts, TCSANOW, &tio);

  modbus_t* ctx = modbus_new_rtu(path, 115200, 'N', 8, 1);
  modbus_mapping_t* map = modbus_mapping_new(0, 0, registers, 0);
  if (ctx == nullptr || map == nullptr) return 1;
  for (int i = 0; i < registers; ++i) map->tab_registers[i] = oxa::interop::SlaveRegisterValue(i);
  modbus_set_slave(ctx, address);
  modbus_set_socket(ctx, ptm);  // libmodbus serves the controlling side of the pair
  // After a frame it cannot take, wait out the rest of it and discard it.
  modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_PROTOCOL);
  modbus_set_response_timeout(ctx, 0, 50000);
  // A frame it cannot take whole is dropped after 50 ms of silence, as the line's silence ends
  // a frame. With libmodbus's default of half a second, the tail of a request it framed wrongly
  // (function 65, which it does not know) was still waiting when the master asked again 310 ms
  // later, and swallowed the start of that request: every attempt after it failed as well.
  modbus_set_byte_timeout(ctx, 0, 50000);

  std::printf("%s\n", path);
  std::fflush(stdout);
  // Nobody reads on after the path: further output (libmodbus debug traces) goes to a file
  // named by MODBUS_SLAVE_TRACE, or nowhere.
  const char* trace = std::getenv("MODBUS_SLAVE_TRACE");
  if (std::freopen(trace != nullptr ? trace : "/dev/null", "w", stdout) != nullptr &&
      trace != nullptr) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    modbus_set_debug(ctx, TRUE);
  }

  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
    } else if (rc < 0 && errno != EINTR && errno != ETIMEDOUT && errno < MODBUS_ENOBASE) {
      return 2;  // the line itself failed
    }
  }
}
