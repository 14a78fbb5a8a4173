#include "camd/command_line.h"

int main(int argc, char* argv[]) {
  return camd::runCommandLine(argc, argv);
}
