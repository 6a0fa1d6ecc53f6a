// The running process's RAM as the interpreter's peek operators read it.
#pragma once

#include <cstdint>

// Where the readers find bytes. The paged process RAM replaces this hook; until
// then tests point it at their own memory. With no reader set, RAM reads as 0.
struct ram_reader_hook {
  uint8_t (*read_byte)(void *context, int32_t addr);  // addr already wrapped into 16 MB
  void *context;
};
extern ram_reader_hook ram_reader;

// A process's address space: addresses wrap into it.
constexpr int32_t ram_address_mask = 0xFFFFFF;

// The readers the interpreter calls (declared for it in lkernel.h): little-endian,
// each byte's address wrapped on its own.
int peek(int addr);
int peek2(int addr);
int peek4(int addr);
long long peek8(int addr);
