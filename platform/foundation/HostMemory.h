#pragma once
// Memory facts of the device: its physical memory and the memory free right now. Both come
// from sysconf by default and can be replaced, so tests play a device of any size.
//
// Thread-safe.

#include <cstdint>
#include <functional>

namespace plat {

// Bytes of physical memory (NSProcessInfo's physicalMemory).
uint64_t HostPhysicalMemory();
// Bytes free now (page size x free pages), or -1 when the figure cannot be read.
int64_t HostFreeMemory();

// Replace the sources; an empty function goes back to the machine's figures.
void SetHostPhysicalMemorySource(std::function<uint64_t()> source);
void SetHostFreeMemorySource(std::function<int64_t()> source);

// A uniformly distributed 32-bit number (arc4random). The default source is seeded from the
// system; tests install their own and put back the default with an empty function.
uint32_t arc4random();
void SetRandomSource(std::function<uint32_t()> source);

}  // namespace plat
