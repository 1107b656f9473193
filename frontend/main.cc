#include "frontend/driver.h"
#include "platform/std_streams.h"

int main(int argc, char** argv) {
  plat_std_streams_guard();
  return run_update(argc, argv);
}
