#include "frontend/driver.h"
#include "platform/start.h"

int main(int argc, char** argv) {
  plat_start(&argc, &argv);
  return run_update(argc, argv);
}
