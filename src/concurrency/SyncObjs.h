#pragma once
// The synchronization primitives in one include: ticks and their wrap-safe arithmetic
// (TickElapsed), the re-entrant critical section and read/write-lock interface, events and the
// semaphore, the locked variable, the two-buffer work queue and the snapshot enumerator.
// Each included header states its own thread contract.
#include "containers/InterfaceList.h"
#include "concurrency/LockedVar.h"
#include "concurrency/QuickSynQueue.h"
#include "containers/RefCounted.h"
#include "concurrency/SimpleEvent.h"
#include "platform/Ticks.h"
#include "containers/XCriticalSection.h"
