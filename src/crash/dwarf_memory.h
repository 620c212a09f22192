// The memory of libbacktrace's DWARF reader: one region of system memory (VirtualAlloc)
// for the lookups of one walk, released whole when the walk ends. The report is written
// when something went wrong; the C heap may be part of what did.
#pragma once

#include <cstddef>

class DwarfMemory {
 public:
  DwarfMemory();   // reserves the region (nothing committed yet)
  ~DwarfMemory();  // releases it, and every block libbacktrace took from it
  DwarfMemory(const DwarfMemory&) = delete;
  DwarfMemory& operator=(const DwarfMemory&) = delete;

  bool usable() const;
};
