#pragma once
// TCustomAsyncRequester: the base of every request/response channel. A caller hands it a request
// object carrying a request packet; the requester queues it, passes it to the transport a
// subclass supplies (DoSendRequest), keeps it under the id the transport assigned until the
// reply arrives (ResolveRequest), and answers it with the transport's reply, an "error" packet
// ("Timeout") when its time-out passes, or an "exception" packet when sending failed. At most
// GetMaxPending (64) requests are in flight; further ones wait in arrival order.
//
// Threads: Request, PendingCount, WaitingCount, RequestTimeOut and Destroy may be called from any
// thread (the counts are snapshots). Everything else runs on the synchronizer's worker: the wait
// queue and the pending table are touched only there and have no lock. Resolve of a request
// object is called on the worker, at most once, never after the requester is destroyed.
//
// Lifetime: create with New<T>(...) and destroy with Destroy() (the TOwned deleter does that):
// the start tasks and the teardown call virtual operations, which C++ dispatches to the subclass
// only after its constructor and before its destructor. Destroy waits for the worker (serving the
// main thread's call queue meanwhile when called there); pending and waiting requests are
// released without an answer.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "containers/IndexList.h"
#include "containers/RefCounted.h"
#include "diagnostics/AppStats.h"
#include "concurrency/DataSynchronizer.h"
#include "packets/Packets.h"

namespace vexor {

class IBasicTxTimer;

// The request object of a request/response channel; implemented by callers.
template <class TRequest, class TResponse>
class ICustomAsyncRequest : public virtual IInterface {
 public:
  // The request no longer wants an answer.
  virtual bool IsCanceled() = 0;
  // Asks for no answer; not used by the requester.
  virtual void Cancel() = 0;
  virtual TRequest GetRequest() = 0;
  // Delivers the answer (may be null): at most once, on the requester's worker.
  virtual void Resolve(const TResponse& AReply) = 0;
};

using IPacketAsyncRequest = ICustomAsyncRequest<IPacketPtr, IPacketPtr>;

// A ready-made request: a packet and a closure that receives the answer (on the worker).
// Cancel and IsCanceled may be called from any thread.
class TPacketAsyncRequest : public TRefCntObject, public IPacketAsyncRequest {
 public:
  using TOnResolve = std::function<void(const IPacketPtr& AReply)>;

  TPacketAsyncRequest(IPacketPtr ARequest, TOnResolve AOnResolve);

  bool IsCanceled() override { return FCanceled.load(std::memory_order_acquire); }
  void Cancel() override { FCanceled.store(true, std::memory_order_release); }
  IPacketPtr GetRequest() override { return FRequest; }
  void Resolve(const IPacketPtr& AReply) override;

 private:
  // Constant after construction.
  IPacketPtr FRequest;
  TOnResolve FOnResolve;
  std::atomic<bool> FCanceled{false};
};

class TCustomAsyncRequester {
 public:
  using IRequest = IPacketAsyncRequest;
  using IRequestPtr = TRef<IRequest>;

  // Room for waiting requests kept after a burst; beyond it the queue shrinks once half empty.
  static constexpr int32_t kWaitQueueCapacity = 1000;
  // Milliseconds a sent request waits for its reply unless SetRequestTimeOut says otherwise.
  static constexpr int32_t kDefaultRequestTimeOut = 100;
  // Requests at the transport at once; the rest wait in order, so a slow peer is not flooded.
  static constexpr int32_t kMaxPending = 64;
  // Milliseconds the worker's synchronizer waits before a processing pass when nothing arrives:
  // time-outs and child output are looked at this often.
  static constexpr int32_t kQueueDelay = 5;
  // Items the worker takes in one pass before it processes again (the synchronizer's batch limit).
  static constexpr int32_t kMaxTasks = 32768;

  // A request handed to the transport and waiting for its reply. Worker only.
  class TPendingRequest {
   public:
    TPendingRequest(int32_t ARequestId, IRequestPtr ARequest, uint32_t ATimeOut);
    virtual ~TPendingRequest() = default;

    void ResetTime();
    void IncTryCount();
    // The wrap-safe time since FStarted is at least FTimeOut.
    virtual bool IsTimeOut();

    int32_t RequestId() const { return FRequestId; }
    const IRequestPtr& Request() const { return FRequest; }
    uint32_t TimeOut() const { return FTimeOut; }
    int32_t TryCount() const { return FTryCount; }

   protected:
    int32_t FRequestId;
    uint32_t FStarted;
    uint32_t FTimeOut;
    int32_t FTryCount = 1;
    IRequestPtr FRequest;
  };

  // Pending requests by id; owns its entries and has no lock.
  class TPendingRequestIndex : public TIntIndex<TPendingRequest> {
   public:
    TPendingRequestIndex();
    int32_t _Value(TPendingRequest* AObject) override { return AObject->RequestId(); }
  };

  // The requester's own worker; finalizing it twice is harmless.
  class TResolverSynchronizer : public TThreadProcessingSynchronizer {
   public:
    using TThreadProcessingSynchronizer::TThreadProcessingSynchronizer;
    void Finalize() override;

   private:
    std::atomic<bool> FResolverFinalized{false};
  };

  struct TDeleter {
    void operator()(TCustomAsyncRequester* ARequester) const { ARequester->Destroy(); }
  };
  template <class T>
  using TOwned = std::unique_ptr<T, TDeleter>;

  // Constructs a T and starts it (AfterConstruction).
  template <class T, class... A>
  static TOwned<T> New(A&&... AArgs) {
    TOwned<T> r(new T(std::forward<A>(AArgs)...));
    r->AfterConstruction();
    return r;
  }

  // ASynchronizer none: the requester makes its own worker named after its class. A pool proxy:
  // a 5 ms event on the shared "AsyncRequester Timer" drives the processing. Any other given
  // synchronizer: its owner must drive the processing (ProcessPending).
  TCustomAsyncRequester(TRef<IDataSynchronizer> ASynchronizer, TRef<IAppStatCounter> AReqResolvingErrorCounter);
  TCustomAsyncRequester(const TCustomAsyncRequester&) = delete;
  TCustomAsyncRequester& operator=(const TCustomAsyncRequester&) = delete;
  virtual ~TCustomAsyncRequester();

  // Tears down (BeforeDestruction) and deletes. Any thread; not from inside a Resolve.
  void Destroy();

  // Queues ARequest to the worker and returns at once. Any thread.
  void Request(IRequestPtr ARequest);

  int32_t RequestTimeOut() const { return FRequestTimeOut.load(std::memory_order_relaxed); }
  void SetRequestTimeOut(int32_t AValue) { FRequestTimeOut.store(AValue, std::memory_order_relaxed); }
  // Snapshots, readable from any thread.
  int32_t PendingCount() const { return FPendingSnapshot.load(std::memory_order_relaxed); }
  int32_t WaitingCount() const { return FWaitingSnapshot.load(std::memory_order_relaxed); }
  // Worker only: the wait queue's current capacity.
  int32_t WaitQueueCapacity() const { return FWaitQueue.Capacity(); }

  const TRef<IDataSynchronizer>& Synchronizer() const { return FSynchronizer; }
  // The class name of the object ("TChildProcessRequester"), namespaces removed.
  std::string ClassName() const;

  // The processing procedure: run by the own worker after every pass, by the timer of a pool
  // proxy, or by the owner of another given synchronizer. Worker only.
  void ProcessPending();

 protected:
  // Creates the worker (or the timer event) and queues the start tasks.
  virtual void AfterConstruction();
  // Stops the processing and runs the worker's teardown; called once by Destroy.
  virtual void BeforeDestruction();

  virtual int32_t GetQueueDelay() { return kQueueDelay; }
  virtual void AfterRequest() {}
  virtual void ProcessRequests();
  virtual void Idle(int32_t AWaitMs);
  virtual void InitializeOnWorker() = 0;
  // Stops the transport; on the worker during destruction (subclasses may call it earlier).
  virtual void Finalize() = 0;
  // Hands ARequest to the transport. AId: Null when there is nothing to send to (answered at
  // once with none), an integer id to wait for, a packet answering at once; anything else
  // leaves the request unanswered.
  virtual void DoSendRequest(const IPacketPtr& ARequest, Variant& AId) = 0;
  virtual bool CanSendRequest(const IRequestPtr& ARequest);
  virtual void DispatchRequest(const IRequestPtr& ARequest);
  virtual int32_t GetRequestTimeOut(const IPacketPtr& ARequest);
  virtual void DoTimeOut(int32_t ARequestId, const IRequestPtr& ARequest);
  virtual bool RequestTimedOut(TPendingRequest* APending);
  virtual void CheckTimeOuts();
  virtual int32_t GetPendingCount();
  virtual int32_t GetMaxPending() { return kMaxPending; }
  virtual TPendingRequest* CreatePendingRequest(int32_t ARequestId, const IRequestPtr& ARequest, uint32_t ATimeOut);

  // The transport's answer for ARequestId. Worker only.
  void ResolveRequest(int32_t ARequestId, const IPacketPtr& AReply);
  void SendWaitingRequests();
  // Timer procedure for a pool proxy: processes only when something is pending or waiting.
  void ProcessEvents();

  bool Ready() const { return FReady; }

 private:
  // First-in first-out with an explicit capacity, so that memory is given back once the queue
  // has grown past its start size and is less than half full.
  class TWaitQueue {
   public:
    explicit TWaitQueue(int32_t ACapacity) { SetCapacity(ACapacity); }
    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return static_cast<int32_t>(FItems.size()); }
    void SetCapacity(int32_t ACapacity);
    void Enqueue(IRequestPtr AItem);
    const IRequestPtr& Peek() const { return FItems[FHead]; }
    IRequestPtr Dequeue();
    void Clear();

   private:
    std::vector<IRequestPtr> FItems;
    int32_t FHead = 0;
    int32_t FCount = 0;
  };

  void UpdateSnapshots();
  void ClearPending();

  // Worker only.
  TWaitQueue FWaitQueue{kWaitQueueCapacity};
  std::unique_ptr<TPendingRequestIndex> FPending;
  bool FReady = false;

  // Constant after AfterConstruction until BeforeDestruction.
  TRef<IDataSynchronizer> FSynchronizer;
  TRef<ISynchronizedTimerEvent> FProcessTimer;
  TRef<IBasicTxTimer> FSharedTimer;
  TRef<IAppStatCounter> FReqResolvingErrorCounter;
  bool FOwnSynchronizer = false;
  bool FDestroying = false;

  // Read from any thread.
  std::atomic<int32_t> FRequestTimeOut{kDefaultRequestTimeOut};
  std::atomic<int32_t> FPendingSnapshot{0};
  std::atomic<int32_t> FWaitingSnapshot{0};
};

}  // namespace vexor
