#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "concurrency/ExThread.h"
#include "common/Wait.h"

namespace vexor {
namespace {

using testing::WaitFor;

std::string KernelName() {
  char buf[32] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

class TProbeThread : public TExThread {
 public:
  using TExThread::TExThread;
  std::atomic<bool> Release{false};
  std::atomic<bool> Running{false};
  std::string SeenName;
  TExThread* SeenCurrent = nullptr;

 protected:
  void Execute() override {
    SeenName = KernelName();
    SeenCurrent = CurrentThread();
    Running = true;
    while (!Release && !Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

class TThrowingThread : public TExThread {
 public:
  TThrowingThread() : TExThread(false) {}

 protected:
  void Execute() override { throw std::runtime_error("body failed"); }
};

TEST(ExThreadTest, MainThreadIsNamed) {
  EXPECT_EQ(KernelName(), "Main Thread");
  EXPECT_EQ(TExThread::CurrentThread(), nullptr);
}

TEST(ExThreadTest, RegisteredByIdAndNamedAfterItsClass) {
  int before = TExThread::ThreadCount();
  auto thread = NewThread<TProbeThread>(false);
  uint32_t id = thread->ThreadID();
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(TExThread::ThreadExists(id));
  EXPECT_EQ(TExThread::ThreadCount(), before + 1);
  EXPECT_EQ(thread->ThreadName(), "TProbeThread");
  ASSERT_TRUE(WaitFor([&] { return thread->Running.load(); }));
  EXPECT_EQ(thread->SeenName, "TProbeThread");
  EXPECT_EQ(thread->SeenCurrent, thread.get());
  thread->Release = true;
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_FALSE(TExThread::ThreadExists(id));
  EXPECT_EQ(TExThread::ThreadCount(), before);
}

TEST(ExThreadTest, LongNamesAreCutForTheKernelOnly) {
  auto thread = NewThread<TProbeThread>(false, "A rather long worker name");
  ASSERT_TRUE(WaitFor([&] { return thread->Running.load(); }));
  EXPECT_EQ(thread->SeenName, "A rather long w");
  EXPECT_EQ(thread->ThreadName(), "A rather long worker name");
  thread->TerminateAndWait();  // from the main thread: does not block
  EXPECT_TRUE(WaitFor([&] { return thread->Finished(); }));
}

TEST(ExThreadTest, ExceptionInBodyEndsTheThreadQuietly) {
  auto thread = NewThread<TThrowingThread>();
  uint32_t id = thread->ThreadID();
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_FALSE(TExThread::ThreadExists(id));
}

TEST(ExThreadTest, TerminateAndWaitStartsASuspendedThreadFirst) {
  auto thread = NewThread<TProbeThread>(true, "suspended");
  EXPECT_TRUE(thread->Suspended());
  EXPECT_EQ(thread->ThreadID(), 0u);
  std::thread([&] { thread->TerminateAndWait(); }).join();
  EXPECT_TRUE(thread->Running);
  EXPECT_TRUE(thread->Finished());
}

TEST(ExThreadTest, MainThreadAndWorkerWaitingForEachOtherBothFinish) {
  // The worker waits for the main thread (SynchronizeMain) while the main thread waits for the
  // worker (WaitFor, then WaitForSimpleEvent).
  TSimpleEvent reached;
  std::atomic<int> mainCalls{0};
  auto thread = NewThread<TProbeThread>(true, "partner");
  thread->SetOnExecute([&](TExThread*) {
    SynchronizeMain([&] { mainCalls += IsMainThread(); });
    reached.SetEvent();
    SynchronizeMain([&] { mainCalls += IsMainThread(); });
  });
  thread->Resume();
  EXPECT_EQ(TExThread::WaitForSimpleEvent(reached), wrSignaled);
  thread->WaitFor(INFINITE);
  EXPECT_TRUE(thread->Finished());
  EXPECT_EQ(mainCalls, 2);
}

TEST(ExThreadTest, TaskLabelsAndSelfSuspension) {
  TExThread::BeginTask("main work");
  EXPECT_EQ(TExThread::MainThreadTask(), "main work");
  TExThread::EndTask();
  EXPECT_EQ(TExThread::MainThreadTask(), "");

  std::atomic<bool> labelled{false}, resumed{false};
  auto thread = NewThread<TProbeThread>(true, "sleeper");
  thread->SetOnExecute([&](TExThread* ASelf) {
    TExThread::BeginTask("napping");
    labelled = true;
    ASelf->Suspend();
    resumed = true;
  });
  thread->Resume();
  ASSERT_TRUE(WaitFor([&] { return thread->Suspended(); }));
  EXPECT_TRUE(labelled);
  EXPECT_EQ(thread->CurrentTask(), "napping");
  EXPECT_FALSE(thread->Suspend());  // another thread cannot be frozen
  thread->Resume();
  thread->WaitFor();
  EXPECT_TRUE(resumed);
  EXPECT_EQ(thread->CurrentTask(), "");
}

TEST(ExThreadTest, KillUnregistersAndStopsTheThread) {
  auto thread = NewThread<TProbeThread>(false, "victim");
  uint32_t id = thread->ThreadID();
  EXPECT_TRUE(thread->Kill());
  EXPECT_FALSE(TExThread::ThreadExists(id));
  EXPECT_EQ(thread->ThreadID(), 0u);
  EXPECT_FALSE(thread->Kill());
  EXPECT_TRUE(WaitFor([&] { return thread->Finished(); }));
}

TEST(ExThreadTest, ThreadLocaleFromTheLanguageOverride) {
  struct {
    const char* Override;
    int Id;
  } cases[] = {{"PL", 21}, {"pl", 21}, {"JPN", 17}, {"ja", 17}, {"KR", 18}, {"Ko", 18}, {"", -1}, {"de", -1}};
  for (auto& c : cases) EXPECT_EQ(InitThreadLocale(c.Override), c.Id) << c.Override;
  InitThreadLocale("");
}

}  // namespace
}  // namespace vexor
