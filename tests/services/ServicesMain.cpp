// GoogleTest main that starts the services like the program does and stops them afterwards.
#include <gtest/gtest.h>

#include "concurrency/ServiceStartup.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vexor::StartConcurrencyServices();
  int result = RUN_ALL_TESTS();
  vexor::StopConcurrencyServices();
  return result;
}
