#include <cstdio>

#include "report/command.h"
#include "platform/std_streams.h"

int main(int argc, char** argv) {
  // A closed standard descriptor must not become the store or a journal.
  plat_std_streams_guard();
  return report_command(argc, argv, stdout, stderr);
}
