// fulctl's program start: the console set up for UTF-8, then the command line run.
#include <cstdio>

#include "cli/Fulctl.h"
#include "cli/Platform.h"

int main(int argc, char* argv[]) {
  oxa::cli::PrepareConsole();
  return oxa::cli::RunFulctl(argc, argv, stdout, stderr);
}
