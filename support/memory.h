// Byte operations. Freestanding: the driver links no C library.
#pragma once
#include "uefi/base.h"

void *CopyBytes(void *Destination, const void *Source, UINTN Count);
void *ZeroBytes(void *Buffer, UINTN Count);
void *FillBytes(void *Buffer, UINTN Count, UINT8 Value);
INTN CompareBytes(const void *A, const void *B, UINTN Count);
