// vellum-driven: the desktop program with the test driver
// (tests/driver/test_driver.h) acting as its user when the environment asks
// for it. Built for the tests, the screenshots and the headless demo only;
// it is never installed.
#include <memory>

#include "app/program.h"
#include "tests/driver/test_driver.h"

int main(int argc, char** argv) {
  return vellum::app::RunProgram(argc, argv,
                                 [] { return std::make_unique<vellum::app::TestDriver>(); });
}
