// Where the plug-in's DWARF lies in its loaded image. The section table names the
// .debug_* sections "/14", "/29", ...: offsets into the COFF string table, which lies in
// the file behind the symbol table and is never mapped. So the names are read once from
// the file, checked against the image's own headers, and only RVAs are kept; the bytes
// are read from memory later. No windows.h.
#pragma once

#include <cstddef>
#include <cstdint>

// The sections libbacktrace's DWARF reader takes, in its order.
enum DebugSectionId : int {
  kDebugInfo,
  kDebugLine,
  kDebugAbbrev,
  kDebugRanges,
  kDebugStr,
  kDebugAddr,
  kDebugStrOffsets,
  kDebugLineStr,
  kDebugRngLists,
  kDebugSectionCount
};

struct DebugSection {
  uint32_t rva;   // 0: the image has no such section
  uint32_t size;  // the bytes that hold data (the smaller of virtual and raw size)
};

struct DebugSectionTable {
  uint32_t imageBase;  // the preferred base: DWARF addresses assume it
  uint32_t imageSize;
  DebugSection sections[kDebugSectionCount];
};

// What a PE file's (or image's) first bytes say about its layout.
struct PeLayout {
  uint32_t fileHeader;     // offset of the COFF file header (behind "PE\0\0")
  uint32_t sectionTable;   // offset of the first section header
  uint16_t sectionCount;
  uint32_t symbolTable;    // file offset of the COFF symbols; 0 when there are none
  uint32_t symbolCount;
  uint32_t imageBase;
  uint32_t imageSize;
};

// False unless `head` (the first `size` bytes) is a 32-bit PE whose section table lies
// whole within it.
bool ReadPeLayout(const uint8_t* head, size_t size, PeLayout* layout);

// Where the COFF string table starts in the file (behind the symbols); 0 without one.
uint32_t StringTableOffset(const PeLayout& layout);

// Fills `table` from the file's headers and string table, when they describe the image
// whose headers are `image`: same COFF header, same section table, same image size.
// False (table untouched) when they differ, either is damaged, or no .debug_info and
// .debug_line lie within the image. `strings` may be null (no string table).
bool LocateDebugSections(const uint8_t* fileHead, size_t fileHeadSize, const uint8_t* strings,
                         size_t stringsSize, const uint8_t* imageHead, size_t imageHeadSize,
                         DebugSectionTable* table);

// The address that the DWARF gives to `address` of the image loaded at `loaded` (the
// DWARF assumes the preferred base): false when the address lies outside the image.
bool DwarfAddress(const DebugSectionTable& table, uint64_t loaded, uint64_t address,
                  uint32_t* dwarfAddress);
