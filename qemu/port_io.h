// x86 port output, the only way out of the virtual machine that needs no
// firmware service: QEMU's debug console and its exit device sit on I/O ports.
#pragma once
#include "uefi/base.h"

inline void WritePortByte(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

inline void WritePortWord(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}

// QEMU's isa-debugcon (-global isa-debugcon.iobase=0x402) and isa-debug-exit
// (-device isa-debug-exit,iobase=0x501,iosize=2). QEMU leaves with exit code
// (value << 1) | 1 on a write to the exit port.
inline constexpr UINT16 DEBUG_CONSOLE_PORT = 0x402;
inline constexpr UINT16 DEBUG_EXIT_PORT = 0x501;
inline constexpr UINT16 DEBUG_EXIT_SUCCESS = 0x10;  // QEMU exit code 33
inline constexpr UINT16 DEBUG_EXIT_FAILURE = 0x11;  // QEMU exit code 35
