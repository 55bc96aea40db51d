#include "concurrency/ExThread.h"

#include <cxxabi.h>
#include <locale.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <thread>
#include <typeinfo>

#include "platform/Ticks.h"

namespace vexor {
namespace {

thread_local TExThread* tCurrentThread = nullptr;

// The registry pointer and everything reached through it; never destroyed, since threads may
// end while statics are torn down.
std::mutex& RegistryMutex() {
  static auto* m = new std::mutex;
  return *m;
}
TThreadsList* gThreads = nullptr;  // guarded by RegistryMutex()

std::mutex gMainTaskLock;
std::string gMainThreadTask;  // guarded by gMainTaskLock

std::atomic<int> gThreadLocaleId{-1};
std::atomic<locale_t> gThreadLocale{locale_t(nullptr)};

std::string ClassNameOf(const std::type_info& AType) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(AType.name(), nullptr, nullptr, &status),
                                                   std::free);
  std::string name = status == 0 && demangled ? demangled.get() : AType.name();
  size_t colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

// The kernel keeps 15 bytes; cut before a character that would not fit whole.
std::string KernelThreadName(const std::string& AName) {
  if (AName.size() <= 15) return AName;
  size_t n = 15;
  while (n > 0 && (static_cast<unsigned char>(AName[n]) & 0xC0) == 0x80) --n;
  return AName.substr(0, n);
}

void ApplyThreadLocale() {
  locale_t loc = gThreadLocale.load();
  uselocale(loc ? loc : LC_GLOBAL_LOCALE);
}

}  // namespace

bool IsAbortException(std::exception_ptr AException) {
  try {
    if (AException) std::rethrow_exception(AException);
  } catch (const EAbort&) {
    return true;
  } catch (...) {
  }
  return false;
}

void TThreadsList::RemoveById(int32_t AId) {
  TWriteLock lock(this);
  int ix;
  if (Find(AId, ix)) Delete(ix);
}

TExThread::TExThread(bool ACreateSuspended, std::string AName)
    : FThreadName(std::move(AName)), FCreateSuspended(ACreateSuspended) {}

TExThread::~TExThread() { RemoveFromRegistry(); }

void TExThread::AfterConstruction() {
  if (FThreadName.empty()) FThreadName = ClassNameOf(typeid(*this));
  if (!FCreateSuspended) Start();
}

void TExThread::Start() {
  if (FStarted.exchange(true)) return;
  _AddRef();  // the running thread's own reference
  try {
    std::thread thread([this] { ThreadMain(); });
    {
      std::lock_guard<std::mutex> lock(FStateLock);
      FHandle = thread.native_handle();
      FHasHandle = true;
    }
    thread.detach();
  } catch (...) {
    FStarted = false;
    _Release();
    throw;
  }
  FRegisteredEvent.WaitFor(INFINITE);  // ThreadID and registration are visible on return
}

void TExThread::ThreadMain() {
  tCurrentThread = this;
  FThreadID.store(GetCurrentThreadId());
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    if (gThreads) gThreads->Add(this);
  }
  FRegisteredEvent.SetEvent();
  SetName(FThreadName);
  ApplyThreadLocale();
  try {
    if (FOnExecute)
      FOnExecute(this);
    else
      Execute();
  } catch (...) {
    // Bodies that want their exceptions reported catch them themselves.
  }
  tCurrentThread = nullptr;
  try {
    DoTerminate();
  } catch (...) {
  }
  // The kernel may hand this id to a new thread once we are gone.
  RemoveFromRegistry();
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    FHasHandle = false;
  }
  FFinished.store(true);
  FFinishedEvent.SetEvent();
  _Release();
}

void TExThread::RemoveFromRegistry() {
  EndTask(this);
  uint32_t id = FThreadID.load();
  if (id == 0) return;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (!gThreads) return;
  int ix;
  // Only this object's entry: after Kill the id may belong to someone else.
  if (gThreads->Find(int32_t(id), ix) && gThreads->Items(ix) == this) gThreads->Delete(ix);
}

std::string TExThread::ThreadName() const { return FThreadName; }

bool TExThread::Suspended() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return (FCreateSuspended && !FStarted.load()) || FSelfSuspended;
}

std::string TExThread::CurrentTask() const {
  std::lock_guard<std::mutex> lock(FStateLock);
  return FCurrentTask;
}

void TExThread::Terminate() {
  if (!FTerminated.exchange(true)) TerminatedSet();
}

int TExThread::Resume() {
  if (!FStarted.load()) {
    Start();
    return 0;
  }
  std::lock_guard<std::mutex> lock(FStateLock);
  if (FSelfSuspended) {
    FSelfSuspended = false;
    FResumed.notify_all();
  }
  return 0;
}

bool TExThread::Suspend() {
  if (CurrentThread() != this) return false;
  std::unique_lock<std::mutex> lock(FStateLock);
  FSelfSuspended = true;
  FResumed.wait(lock, [&] { return !FSelfSuspended; });
  return true;
}

int32_t TExThread::WaitFor(uint32_t ATimeOutMs) {
  if (!FStarted.load() || CurrentThread() == this) return FReturnValue.load();
  if (!IsMainThread()) {
    FFinishedEvent.WaitFor(ATimeOutMs);
    return FReturnValue.load();
  }
  uint32_t start = GetTickCount32();
  while (!FFinished.load()) {
    uint32_t elapsed = TicksSince(start);
    if (ATimeOutMs != INFINITE && elapsed >= ATimeOutMs) break;
    uint32_t slice = ATimeOutMs == INFINITE ? 2 : std::min<uint32_t>(2, ATimeOutMs - elapsed);
    // Wakes at once for a cross-thread call; notices the end within a slice.
    CheckSynchronize(slice);
  }
  return FReturnValue.load();
}

void TExThread::TerminateAndWait() {
  Terminate();
  if (FFinished.load()) return;
  Resume();  // a suspended thread could never see the request
  // The main thread never blocks here, and a thread cannot wait for its own end.
  if (IsMainThread() || CurrentThread() == this) return;
  WaitFor(INFINITE);
}

bool TExThread::Kill() {
  {
    std::lock_guard<std::mutex> lock(FStateLock);
    if (!FHasHandle || FKilled) return false;
    FKilled = true;
    FHasHandle = false;
  }
  RemoveFromRegistry();
  FThreadID.store(0);
  Terminate();
  return true;
}

void TExThread::ShowException(std::exception_ptr AException) {
  if (IsAbortException(AException)) return;
  std::string source = FThreadName;
  SynchronizeMain([AException, source] { HandleAppException(AException, source.c_str()); });
}

bool TExThread::HandleException(std::exception_ptr AException, void* AAddr) {
  if (!IsAbortException(AException)) HandleAppException(AException, FThreadName.c_str());
  return true;
}

TExThread* TExThread::CurrentThread() { return tCurrentThread; }

void TExThread::SetName(const std::string& AThreadName, int64_t AThreadID) {
  std::string name = KernelThreadName(AThreadName);
  if (AThreadID == -1 || uint32_t(AThreadID) == GetCurrentThreadId()) {
    pthread_setname_np(pthread_self(), name.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(RegistryMutex());
  TExThread* thread = nullptr;
  if (!gThreads || !gThreads->TryGetValue(int32_t(AThreadID), thread)) return;
  std::lock_guard<std::mutex> state(thread->FStateLock);
  if (thread->FHasHandle) pthread_setname_np(thread->FHandle, name.c_str());
}

void TExThread::BeginTask(const std::string& AName, int ATaskType) {
  if (IsMainThread()) {
    std::lock_guard<std::mutex> lock(gMainTaskLock);
    gMainThreadTask = AName;
  } else if (TExThread* self = CurrentThread()) {
    std::lock_guard<std::mutex> lock(self->FStateLock);
    self->FCurrentTask = AName;
  }
}

void TExThread::EndTask(TExThread* AThread) {
  if (!AThread) AThread = CurrentThread();
  if (AThread) {
    std::lock_guard<std::mutex> lock(AThread->FStateLock);
    AThread->FCurrentTask.clear();
  } else if (IsMainThread()) {
    std::lock_guard<std::mutex> lock(gMainTaskLock);
    gMainThreadTask.clear();
  }
}

std::string TExThread::MainThreadTask() {
  std::lock_guard<std::mutex> lock(gMainTaskLock);
  return gMainThreadTask;
}

int TExThread::ThreadCount() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return gThreads ? gThreads->Count() : 0;
}

bool TExThread::ThreadExists(uint32_t ATID) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  int ix;
  return gThreads && gThreads->Find(int32_t(ATID), ix);
}

TWaitResult TExThread::WaitForSimpleEvent(TSimpleEvent& AEvent) {
  if (!IsMainThread()) return AEvent.WaitFor(INFINITE);
  for (;;) {
    CheckSynchronize(0);
    TWaitResult result = AEvent.WaitFor(10);
    if (result != wrTimeout) return result;
  }
}

int InitThreadLocale(const std::string& AUiLanguageOverride) {
  auto is = [&](const char* ACode) { return CompareTextAZ(AUiLanguageOverride, ACode) == 0; };
  int id = -1;
  const char* name = nullptr;
  if (is("PL")) {
    id = 21;
    name = "pl_PL.UTF-8";
  } else if (is("JPN") || is("ja")) {
    id = 17;
    name = "ja_JP.UTF-8";
  } else if (is("KR") || is("ko")) {
    id = 18;
    name = "ko_KR.UTF-8";
  }
  gThreadLocaleId.store(id);
  locale_t loc = nullptr;
  if (name) {
    // One object per language, kept for the process's lifetime: threads keep using it.
    static std::mutex cacheLock;
    static locale_t cache[3] = {};
    static bool tried[3] = {};
    int slot = id == 21 ? 0 : (id == 17 ? 1 : 2);
    std::lock_guard<std::mutex> lock(cacheLock);
    if (!tried[slot]) {
      tried[slot] = true;
      // Only the message language: number and date text must stay as the writers expect.
      if (locale_t base = duplocale(LC_GLOBAL_LOCALE)) {
        cache[slot] = newlocale(LC_MESSAGES_MASK, name, base);
        if (!cache[slot]) freelocale(base);
      }
    }
    loc = cache[slot];
  }
  gThreadLocale.store(loc);
  ApplyThreadLocale();
  return id;
}

int ThreadLocaleId() { return gThreadLocaleId.load(); }

void StartThreadRegistry() {
  tCurrentThread = nullptr;
  SetMainThreadNativeId(GetCurrentThreadId());
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    if (!gThreads) gThreads = new TThreadsList;
  }
  TExThread::SetName("Main Thread");
}

void StopThreadRegistry() {
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    // A registry that still lists threads stays: they unregister themselves when they end.
    if (gThreads && gThreads->Count() == 0) {
      delete gThreads;
      gThreads = nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(gMainTaskLock);
  gMainThreadTask.clear();
}

}  // namespace vexor
