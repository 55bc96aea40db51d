#include <gtest/gtest.h>

#include "SyncTestSupport.h"
#include "concurrency/DataSynchronizer.h"

namespace vexor {
namespace {

using test::TConsoleCapture;

// The shut-down wait stops unused synchronizers at once and, 15 s later, forces the ones still
// held by a proxy, naming them on the console.
TEST(SynchronizersPoolShutdown, ForcesWhatIsStillInUseAfterFifteenSeconds) {
  TConsoleCapture console;
  TRef<IDataSynchronizer> done = TSharedSynchronizersPool::NewSynchronizer("Pool Done", false);
  done->Finalize();
  done = nullptr;
  TRef<IDataSynchronizer> held = TSharedSynchronizersPool::NewSynchronizer("Pool Leftover", false);
  uint32_t start = GetTickCount32();
  TSharedSynchronizersPool::WaitFor();
  EXPECT_GE(TicksSince(start), 15000u);
  EXPECT_EQ(TSharedSynchronizersPool::CachedCount(), 0);
  EXPECT_TRUE(console.Contains("*********** WARNING: 1 Synchronizers in cache\n"));
  EXPECT_TRUE(console.Contains("            [Pool Leftover] - Still in use\n"));
  EXPECT_FALSE(console.Contains("[Pool Done]"));
  EXPECT_TRUE(held->IsFinalized());
  EXPECT_FALSE(held->Synchronize([] {}));
  held->Finalize();
}

}  // namespace
}  // namespace vexor
