// fulctl's program start: the console set up for UTF-8, then the command line run.
#include <cstdio>

#include "cli/Fulctl.h"
#include "serial/OxaHost.h"

int main(int argc, char* argv[]) {
  oxa::UseUtf8Console();
  return oxa::cli::RunFulctl(argc, argv, stdout, stderr);
}
