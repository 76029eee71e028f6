// Timing shims around the firmware services the driver calls: the driver-wide
// service pointers are pointed at copies of the firmware's tables whose members
// count calls and time-stamp-counter ticks, then call the firmware's own. Only
// the outermost call is timed: what a service calls back (a card's
// configuration access called by the router) counts as time inside it. Pool
// blocks the driver obtains directly are tracked until it frees them.
#pragma once
#include "uefi/protocols.h"

enum class TimedService : UINT8 {
  NewString,
  SetString,
  GetString,
  GetLanguages,
  ExportPackageLists,
  UpdatePackageList,
  ListPackageLists,
  OtherDatabase,
  ExtractConfig,
  RouteConfig,
  BlockToConfig,
  ConfigToBlock,
  GetVariable,
  SetVariable,
  BrowserCallback,
  AllocatePool,
  FreePool,
  OtherBootServices,
  Count
};
inline constexpr UINTN TIMED_SERVICE_COUNT = static_cast<UINTN>(TimedService::Count);

struct SERVICE_TIME {
  UINT64 Calls;
  UINT64 Ticks;
};

inline UINT64 ReadTsc() {
  UINT32 Low = 0, High = 0;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return (static_cast<UINT64>(High) << 32) | Low;
}

const CHAR8 *TimedServiceName(TimedService Service);

// Points the driver's service pointers at the shims (the real tables are kept)
// and clears the counts. EFI_OUT_OF_RESOURCES when the block table cannot be had.
EFI_STATUS InstallServiceTiming();
// Points them back at the firmware's tables.
void RemoveServiceTiming();
void ClearServiceTimes();
const SERVICE_TIME &ServiceTime(TimedService Service);
// Sum of the ticks of every timed service.
UINT64 TicksInServices();
// Bytes of the pool blocks the driver obtained since InstallServiceTiming and
// has not freed.
UINT64 PoolBytesHeld();
