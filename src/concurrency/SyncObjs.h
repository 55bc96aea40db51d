#pragma once
// The synchronization primitives in one include: ticks and their wrap-safe arithmetic
// (TickElapsed), the re-entrant critical section and read/write-lock interface, events and the
// semaphore, the locked variable, the two-buffer work queue and the snapshot enumerator.
// Each included header states its own thread contract.
#include "InterfaceList.h"
#include "LockedVar.h"
#include "QuickSynQueue.h"
#include "RefCounted.h"
#include "SimpleEvent.h"
#include "Ticks.h"
#include "XCriticalSection.h"
