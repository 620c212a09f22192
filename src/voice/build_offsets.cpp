#include "voice/build_offsets.h"

namespace {

// One column per supported engine build: every value is an offset from the module base,
// read from that build's hw.dll. A new build is one more row here, one in the test
// world's own table (testworld/engine/layout.h) and one in the decimal copies of the
// tests (voice_patching_test.cpp, world_selftest.cpp).
struct BuildColumn {
  int32_t build;
  uint32_t funcTable;
  uint32_t voiceInitHandler;
  uint32_t hudFrame;
  uint32_t voiceInitFunc;
  uint32_t codecSlot;
  uint32_t clientState;
  uint32_t voiceWord;
  uint32_t voiceFormat;
  uint32_t readString;
  uint32_t readByte;
};

constexpr BuildColumn kColumns[] = {
    {6027, 0x134260, 0x1E710, 0xBE00, 0xC0550, 0x11A4C8, 0x1055EC0, 0x15A9A0, 0x15A7D0,
     0x29F70, 0x29D90},
    {6132, 0x134260, 0x1E920, 0xBE00, 0xC0750, 0x11A4C8, 0x1056120, 0x15ABF8, 0x15AA28,
     0x2A180, 0x29FA0},
};

const BuildColumn* FindColumn(int32_t build) {
  for (const BuildColumn& column : kColumns)
    if (column.build == build) return &column;
  return nullptr;
}

}  // namespace

bool VoiceEngineEntriesFor(int32_t build, uint32_t base, VoiceEngineEntries* out) {
  const BuildColumn* column = FindColumn(build);
  if (!column) return false;
  out->funcTable = base + column->funcTable;
  out->voiceInitHandlerOffset = column->voiceInitHandler;
  out->hudFrameOffset = column->hudFrame;
  out->voiceInitFuncOffset = column->voiceInitFunc;
  out->codecSlotOffset = column->codecSlot;
  out->clientState = base + column->clientState;
  out->voiceWord = base + column->voiceWord;
  out->voiceFormat = base + column->voiceFormat;
  return true;
}

bool MessageReaderEntriesFor(int32_t build, uint32_t base, MessageReaderEntries* out) {
  const BuildColumn* column = FindColumn(build);
  if (!column) return false;
  out->readString = base + column->readString;
  out->readByte = base + column->readByte;
  return true;
}
