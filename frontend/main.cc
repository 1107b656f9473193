#include "frontend/driver.h"
#include "platform/start.h"
#include "platform/std_streams.h"

int main(int argc, char** argv) {
  plat_std_streams_guard();
  plat_start(&argc, &argv);
  return run_update(argc, argv);
}
