// fulctl's program start: the console set up for UTF-8, then the command line run, then the
// standard output closed: what it still held must reach its file, or the run failed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/Fulctl.h"
#include "serial/OxaHost.h"

int main(int argc, char* argv[]) {
  oxa::UseUtf8Console();
  const int status = oxa::cli::RunFulctl(argc, argv, stdout, stderr);
  if (std::fclose(stdout) != 0 && status != oxa::cli::kExitOutput) {
    std::fprintf(stderr, "fulctl: cannot write the standard output: %s\n", std::strerror(errno));
    return oxa::cli::kExitOutput;
  }
  return status;
}
