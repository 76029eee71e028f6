// Counts of the driver's own work, for the benchmarks of the host build: bytes
// moved by CopyBytes and blocks asked of the pool. The image keeps the record
// (a few bytes) but never counts: only a build that defines
// ADDONCARD_WORK_COUNTERS does. They measure, they are not driver state, so
// ResetDriverState leaves them alone; a benchmark clears them around what it
// measures.
#pragma once
#include "uefi/base.h"

struct DRIVER_WORK_COUNTERS {
  UINT64 BytesCopied;
  UINT64 PoolAllocations;
  UINT64 PoolBytes;
};

#ifdef ADDONCARD_WORK_COUNTERS
inline constexpr bool COUNT_DRIVER_WORK = true;
#else
inline constexpr bool COUNT_DRIVER_WORK = false;
#endif

extern DRIVER_WORK_COUNTERS DriverWorkCounters;
