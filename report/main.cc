#include <cstdio>

#include "command.h"

int main(int argc, char** argv) { return report_command(argc, argv, stdout, stderr); }
