#include "cli/cli.h"
#include "cli/platform.h"

int main(int argc, char** argv) {
  platform::Start();
  return RunCli(argc, argv);
}
