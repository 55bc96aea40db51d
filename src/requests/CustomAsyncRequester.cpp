#include "requests/CustomAsyncRequester.h"

#include <cxxabi.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <exception>
#include <typeinfo>

#include "platform/Exceptions.h"
#include "platform/Ticks.h"
#include "diagnostics/AppStats.h"
#include "diagnostics/MessageLog.h"
#include "concurrency/TxTimer.h"

namespace vexor {

namespace {

constexpr const char* kSharedTimerName = "AsyncRequester Timer";

IPacketPtr ReplyOf(const char* AType, const std::string& AMessage) {
  return NewVObj(AType)->SetProperty("message", Variant(AMessage))->Value();
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TPacketAsyncRequest::TPacketAsyncRequest(IPacketPtr ARequest, TOnResolve AOnResolve)
    : FRequest(std::move(ARequest)), FOnResolve(std::move(AOnResolve)) {}

void TPacketAsyncRequest::Resolve(const IPacketPtr& AReply) {
  if (FOnResolve) FOnResolve(AReply);
}

// ---------------------------------------------------------------------------------------------

TCustomAsyncRequester::TPendingRequest::TPendingRequest(int32_t ARequestId, IRequestPtr ARequest, uint32_t ATimeOut)
    : FRequestId(ARequestId), FStarted(GetTickCount32()), FTimeOut(ATimeOut), FRequest(std::move(ARequest)) {}

void TCustomAsyncRequester::TPendingRequest::ResetTime() { FStarted = GetTickCount32(); }

void TCustomAsyncRequester::TPendingRequest::IncTryCount() {
  ++FTryCount;
  ResetTime();
}

bool TCustomAsyncRequester::TPendingRequest::IsTimeOut() { return TickElapsed(FStarted, FTimeOut); }

TCustomAsyncRequester::TPendingRequestIndex::TPendingRequestIndex()
    : TIntIndex<TPendingRequest>(true, nullptr, "TPendingRequestIndex") {
  RemoveLocking();
}

void TCustomAsyncRequester::TResolverSynchronizer::Finalize() {
  if (FResolverFinalized.exchange(true)) return;
  TThreadProcessingSynchronizer::Finalize();
}

// ---------------------------------------------------------------------------------------------

void TCustomAsyncRequester::TWaitQueue::SetCapacity(int32_t ACapacity) {
  if (ACapacity < FCount) ACapacity = FCount;
  std::vector<IRequestPtr> items(static_cast<size_t>(ACapacity));
  for (int32_t i = 0; i < FCount; ++i) items[i] = std::move(FItems[(FHead + i) % FItems.size()]);
  FItems.swap(items);
  FHead = 0;
}

void TCustomAsyncRequester::TWaitQueue::Enqueue(IRequestPtr AItem) {
  if (FCount == Capacity()) SetCapacity(FCount < 4 ? 4 : FCount * 2);
  FItems[(FHead + FCount) % FItems.size()] = std::move(AItem);
  ++FCount;
}

TCustomAsyncRequester::IRequestPtr TCustomAsyncRequester::TWaitQueue::Dequeue() {
  IRequestPtr r = std::move(FItems[FHead]);
  FHead = (FHead + 1) % static_cast<int32_t>(FItems.size());
  --FCount;
  return r;
}

void TCustomAsyncRequester::TWaitQueue::Clear() {
  for (auto& item : FItems) item = nullptr;
  FHead = 0;
  FCount = 0;
}

// ---------------------------------------------------------------------------------------------

TCustomAsyncRequester::TCustomAsyncRequester(TRef<IDataSynchronizer> ASynchronizer,
                                             TRef<IAppStatCounter> AReqResolvingErrorCounter)
    : FPending(std::make_unique<TPendingRequestIndex>()),
      FSynchronizer(std::move(ASynchronizer)),
      FReqResolvingErrorCounter(std::move(AReqResolvingErrorCounter)) {}

TCustomAsyncRequester::~TCustomAsyncRequester() {
  // Deleted without Destroy: at least stop the worker before the members go.
  if (!FDestroying && FSynchronizer) {
    TMessagesList::ConsoleLog("***** REQUESTER DESTROYED WITHOUT Destroy: " + ClassName() + " ******");
    if (FProcessTimer) FProcessTimer->Delete();
    if (auto* own = dynamic_cast<TThreadDataSynchronizer*>(FSynchronizer.get()); own && FOwnSynchronizer)
      own->SetOnExecute(nullptr);
    FSynchronizer->Finalize();
  }
}

std::string TCustomAsyncRequester::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  // Template arguments aside, the last scope-qualified part is the class's own name.
  size_t end = name.find('<');
  size_t colon = name.rfind("::", end == std::string::npos ? std::string::npos : end);
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

void TCustomAsyncRequester::AfterConstruction() {
  const std::string name = ClassName();
  if (!FSynchronizer) {
    FSynchronizer = MakeRef<TResolverSynchronizer>(
        name, [this] { ProcessPending(); }, false, GetQueueDelay(), kMaxTasks);
    FOwnSynchronizer = true;
  } else if (TSharedSynchronizersPool::IsProxySynchronizer(FSynchronizer)) {
    FSharedTimer = GetSharedTimer(kSharedTimerName);
    FProcessTimer = MakeRef<TSynchronizerTimerEvent>(
        FSharedTimer, 5, "ProcessEvents:" + name, [this](IInterface*) { ProcessEvents(); }, FSynchronizer);
  }
  FSynchronizer->Synchronize([this] { InitializeOnWorker(); });
  FSynchronizer->Synchronize([this] {
    FReady = true;
    if (FProcessTimer) FProcessTimer->GetEvent()->Activate();
  });
}

void TCustomAsyncRequester::Destroy() {
  BeforeDestruction();
  delete this;
}

void TCustomAsyncRequester::BeforeDestruction() {
  if (FDestroying) return;
  FDestroying = true;
  if (FProcessTimer) {
    FProcessTimer->Delete();
    FProcessTimer = nullptr;
    FSharedTimer = nullptr;
  }
  if (FSynchronizer) {
    if (!TSharedSynchronizersPool::IsProxySynchronizer(FSynchronizer))
      if (auto* own = dynamic_cast<TThreadDataSynchronizer*>(FSynchronizer.get())) own->SetOnExecute(nullptr);
    TRef<IDataSynchronizer> sync = FSynchronizer;
    TDataSynchronizerTask::RunAndWait(
        sync,
        [this, sync] {
          ClearPending();
          Finalize();
          sync->Finalize();
        },
        nullptr, SyncNoTimeLimit, "Destroy " + ClassName());
    FSynchronizer = nullptr;
  }
  ClearPending();
  FWaitQueue.Clear();
  UpdateSnapshots();
}

void TCustomAsyncRequester::ClearPending() {
  // Released without answers: the requester is going away.
  if (FPending) FPending.reset();
}

void TCustomAsyncRequester::UpdateSnapshots() {
  FPendingSnapshot.store(FPending ? FPending->Count() : 0, std::memory_order_relaxed);
  FWaitingSnapshot.store(FWaitQueue.Count(), std::memory_order_relaxed);
}

void TCustomAsyncRequester::Request(IRequestPtr ARequest) {
  if (!FSynchronizer) return;
  TRef<IInterface> keep(ARequest.get());
  FSynchronizer->Synchronize(
      [this, ARequest] {
        if (!FPending) return;  // torn down
        if (CanSendRequest(ARequest))
          DispatchRequest(ARequest);
        else
          FWaitQueue.Enqueue(ARequest);
        UpdateSnapshots();
      },
      keep);
}

int32_t TCustomAsyncRequester::GetPendingCount() { return FPending ? FPending->Count() : 0; }

bool TCustomAsyncRequester::CanSendRequest(const IRequestPtr& ARequest) { return GetPendingCount() < GetMaxPending(); }

int32_t TCustomAsyncRequester::GetRequestTimeOut(const IPacketPtr& ARequest) { return RequestTimeOut(); }

TCustomAsyncRequester::TPendingRequest* TCustomAsyncRequester::CreatePendingRequest(int32_t ARequestId,
                                                                                    const IRequestPtr& ARequest,
                                                                                    uint32_t ATimeOut) {
  return new TPendingRequest(ARequestId, ARequest, ATimeOut);
}

void TCustomAsyncRequester::DispatchRequest(const IRequestPtr& ARequest) {
  // A failure to read the request packet reaches the worker's error handling.
  IPacketPtr packet = ARequest->GetRequest();
  try {
    if (ARequest->IsCanceled()) return;
    Variant id;
    try {
      DoSendRequest(packet, id);
    } catch (const std::exception& e) {
      ARequest->Resolve(ReplyOf("exception", e.what()));
      TMessagesList::ConsoleLog(std::string("Exception: ") + e.what());
      return;
    }
    if (id.IsNull()) {
      ARequest->Resolve(nullptr);
    } else if (id.IsOrdinal()) {
      int32_t timeOut = GetRequestTimeOut(packet);
      if (!FPending) return;
      FPending->Add(CreatePendingRequest(id.AsInt32(), ARequest, static_cast<uint32_t>(timeOut)));
    } else if (VarIsPacket(id)) {
      ARequest->Resolve(VarToPacket(id));
    }
    AfterRequest();
  } catch (const std::exception& e) {
    TMessagesList::ConsoleLog(std::string("Exception: ") + e.what());
  }
}

void TCustomAsyncRequester::SendWaitingRequests() {
  while (GetPendingCount() < GetMaxPending() && FWaitQueue.Count() > 0) {
    if (!CanSendRequest(FWaitQueue.Peek())) break;
    IRequestPtr request = FWaitQueue.Dequeue();
    if (!request) continue;
    if (FWaitQueue.Capacity() > kWaitQueueCapacity && FWaitQueue.Count() < FWaitQueue.Capacity() / 2)
      FWaitQueue.SetCapacity(FWaitQueue.Count());
    DispatchRequest(request);
  }
  UpdateSnapshots();
}

void TCustomAsyncRequester::DoTimeOut(int32_t ARequestId, const IRequestPtr& ARequest) {
  if (!ARequest->IsCanceled()) ARequest->Resolve(ReplyOf("error", "Timeout"));
}

bool TCustomAsyncRequester::RequestTimedOut(TPendingRequest* APending) {
  DoTimeOut(APending->RequestId(), APending->Request());
  return true;
}

void TCustomAsyncRequester::CheckTimeOuts() {
  if (!FPending) return;
  for (int i = FPending->Count() - 1; i >= 0; --i) {
    if (i >= FPending->Count()) continue;  // a time-out reply may have changed the table
    TPendingRequest* entry = FPending->Items(i);
    if (!entry || (entry->IsTimeOut() && RequestTimedOut(entry))) {
      if (FPending && i < FPending->Count() && FPending->Items(i) == entry) FPending->Delete(i);
    }
  }
  UpdateSnapshots();
}

void TCustomAsyncRequester::ResolveRequest(int32_t ARequestId, const IPacketPtr& AReply) {
  int ix;
  if (FPending && FPending->Find(ARequestId, ix)) {
    // Out of the table before Resolve runs, so a reply handler cannot see it twice.
    TPendingRequest* entry = FPending->ExtractByIndex(ix);
    std::unique_ptr<TPendingRequest> owned(entry);
    UpdateSnapshots();
    entry->Request()->Resolve(AReply);
  } else if (FReqResolvingErrorCounter) {
    FReqResolvingErrorCounter->Inc(1);
  }
}

void TCustomAsyncRequester::ProcessRequests() {
  if (!FReady) return;
  CheckTimeOuts();
  SendWaitingRequests();
}

void TCustomAsyncRequester::Idle(int32_t AWaitMs) {
  if (AWaitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(AWaitMs));
}

void TCustomAsyncRequester::ProcessPending() {
  for (;;) {
    ProcessRequests();
    if (FSynchronizer->QueueCount() > 0 || GetPendingCount() == 0) {
      Idle(0);
      return;
    }
    Idle(1);
  }
}

void TCustomAsyncRequester::ProcessEvents() {
  if (GetPendingCount() < 1 && FWaitQueue.Count() < 1) return;
  ProcessPending();
}

}  // namespace vexor
