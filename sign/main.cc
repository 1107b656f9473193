#include <cstdio>

#include "command.h"
#include "platform/std_streams.h"

int main(int argc, char** argv) {
  plat_std_streams_guard();
  return sign_command(argc, argv, stdout, stderr);
}
