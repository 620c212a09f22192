#include "crash/debug_sections.h"

#include <cstring>

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSymbolSize = 18;
constexpr uint32_t kScnMemRead = 0x40000000;

const char* const kDebugSectionNames[kDebugSectionCount] = {
    ".debug_info", ".debug_line",        ".debug_abbrev",    ".debug_ranges",  ".debug_str",
    ".debug_addr", ".debug_str_offsets", ".debug_line_str", ".debug_rnglists"};

uint16_t Read16(const uint8_t* at) {
  uint16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

uint32_t Read32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A section's name: up to eight bytes inline, or "/<decimal offset>" into the string
// table. Null when the offset leads nowhere or to an unterminated text.
const char* SectionName(const uint8_t* header, char (&inlineName)[9], const uint8_t* strings,
                        size_t stringsSize) {
  if (header[0] != '/') {
    std::memcpy(inlineName, header, 8);
    inlineName[8] = '\0';
    return inlineName;
  }
  uint32_t offset = 0;
  int digits = 0;
  for (int i = 1; i < 8 && header[i] >= '0' && header[i] <= '9'; ++i, ++digits)
    offset = offset * 10 + (header[i] - '0');  // seven digits at most: no overflow
  if (digits == 0 || !strings || offset >= stringsSize) return nullptr;
  const char* name = reinterpret_cast<const char*>(strings) + offset;
  return std::memchr(name, '\0', stringsSize - offset) ? name : nullptr;
}

}  // namespace

bool ReadPeLayout(const uint8_t* head, size_t size, PeLayout* layout) {
  if (!head || size < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const uint64_t fileHeader = uint64_t{Read32(head + 0x3C)} + 4;
  if (fileHeader + kFileHeaderSize + 2 > size || Read32(head + fileHeader - 4) != 0x00004550)
    return false;
  const uint8_t* coff = head + fileHeader;
  const uint16_t optionalSize = Read16(coff + 16);
  const uint8_t* optional = coff + kFileHeaderSize;
  // PE32 (magic 0x10B) with room for ImageBase (at 28) and SizeOfImage (at 56).
  if (optionalSize < 60 || fileHeader + kFileHeaderSize + optionalSize > size ||
      Read16(optional) != 0x10B)
    return false;
  const uint64_t sectionTable = fileHeader + kFileHeaderSize + optionalSize;
  const uint16_t sectionCount = Read16(coff + 2);
  if (sectionTable + uint64_t{sectionCount} * kSectionHeaderSize > size) return false;
  layout->fileHeader = static_cast<uint32_t>(fileHeader);
  layout->sectionTable = static_cast<uint32_t>(sectionTable);
  layout->sectionCount = sectionCount;
  layout->symbolTable = Read32(coff + 8);
  layout->symbolCount = Read32(coff + 12);
  layout->imageBase = Read32(optional + 28);
  layout->imageSize = Read32(optional + 56);
  return true;
}

uint32_t StringTableOffset(const PeLayout& layout) {
  if (layout.symbolTable == 0) return 0;
  const uint64_t offset = layout.symbolTable + uint64_t{layout.symbolCount} * kSymbolSize;
  return offset <= UINT32_MAX ? static_cast<uint32_t>(offset) : 0;
}

bool LocateDebugSections(const uint8_t* fileHead, size_t fileHeadSize, const uint8_t* strings,
                         size_t stringsSize, const uint8_t* imageHead, size_t imageHeadSize,
                         DebugSectionTable* table) {
  PeLayout file, image;
  if (!ReadPeLayout(fileHead, fileHeadSize, &file) ||
      !ReadPeLayout(imageHead, imageHeadSize, &image))
    return false;
  // The file must be the image's own: after an update the file under the module's name
  // is the next build.
  if (file.sectionCount != image.sectionCount || file.imageSize != image.imageSize ||
      std::memcmp(fileHead + file.fileHeader, imageHead + image.fileHeader, kFileHeaderSize) != 0 ||
      std::memcmp(fileHead + file.sectionTable, imageHead + image.sectionTable,
                  size_t{file.sectionCount} * kSectionHeaderSize) != 0)
    return false;

  DebugSectionTable found{};
  found.imageBase = file.imageBase;
  found.imageSize = file.imageSize;
  for (uint16_t i = 0; i < file.sectionCount; ++i) {
    const uint8_t* header = fileHead + file.sectionTable + size_t{i} * kSectionHeaderSize;
    char inlineName[9];
    const char* name = SectionName(header, inlineName, strings, stringsSize);
    if (!name) continue;
    const uint32_t virtualSize = Read32(header + 8), rva = Read32(header + 12),
                   rawSize = Read32(header + 16), flags = Read32(header + 36);
    const uint32_t size = virtualSize < rawSize ? virtualSize : rawSize;
    if (size == 0 || rva == 0 || uint64_t{rva} + size > file.imageSize || !(flags & kScnMemRead))
      continue;
    for (int id = 0; id < kDebugSectionCount; ++id)
      if (std::strcmp(name, kDebugSectionNames[id]) == 0 && found.sections[id].rva == 0)
        found.sections[id] = {rva, size};
  }
  if (found.sections[kDebugInfo].rva == 0 || found.sections[kDebugLine].rva == 0) return false;
  *table = found;
  return true;
}

bool DwarfAddress(const DebugSectionTable& table, uint64_t loaded, uint64_t address,
                  uint32_t* dwarfAddress) {
  if (address < loaded || address - loaded >= table.imageSize) return false;
  *dwarfAddress = static_cast<uint32_t>(address - loaded + table.imageBase);
  return true;
}
