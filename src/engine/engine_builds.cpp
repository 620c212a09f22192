#include "engine/engine_builds.h"

#include <cstring>

namespace {

constexpr bool kSupported = true;
constexpr bool kRecognisedOnly = false;

}  // namespace

// Offsets column order: funcTable, voiceInitHandler, hudFrame, voiceInitFunc, codecSlot,
// clientState, voiceWord, voiceFormat, readString, readByte.
const EngineBuild kEngineBuilds[] = {
    {6027, 0x149284, "Exe build: 17:47:17 Apr 25 2013", kSupported,
     {0x134260, 0x1E710, 0xBE00, 0xC0550, 0x11A4C8, 0x1055EC0, 0x15A9A0, 0x15A7D0, 0x29F70,
      0x29D90}},
    {4554, 0x17A11C, "Exe build: 16:05:41 Jun 15 2009", kRecognisedOnly, {}},
    {6132, 0x1478DC, "Exe build: 11:17:34 Aug  8 2013", kSupported,  // two blanks before "8"
     {0x134260, 0x1E920, 0xBE00, 0xC0750, 0x11A4C8, 0x1056120, 0x15ABF8, 0x15AA28, 0x2A180,
      0x29FA0}},
    {4156, 0x1B670C, "Exe build: 14:58:36 Mar 11 2008", kRecognisedOnly, {}},
};
const size_t kEngineBuildCount = sizeof kEngineBuilds / sizeof kEngineBuilds[0];

namespace {

// Enough for any build-date line; a longer text is searched up to this length.
constexpr uint32_t kProbeWindow = 1024;

bool ProbeMatches(const uint8_t* image, uint32_t imageSize, const EngineBuild& row,
                  SubstringSearch search) {
  if (row.probeOffset >= imageSize) return false;
  uint32_t available = imageSize - row.probeOffset;
  uint32_t window = available < kProbeWindow ? available : kProbeWindow;
  // Copy into a terminated buffer so the search cannot run past the image.
  char text[kProbeWindow + 1];
  const void* end = std::memchr(image + row.probeOffset, 0, window);
  uint32_t length = end ? static_cast<uint32_t>(static_cast<const uint8_t*>(end) -
                                                (image + row.probeOffset))
                        : window;
  std::memcpy(text, image + row.probeOffset, length);
  text[length] = '\0';
  return search(text, row.probeText) != nullptr;
}

}  // namespace

const EngineBuild* FindSupportedBuild(int32_t build) {
  for (const EngineBuild& row : kEngineBuilds)
    if (row.build == build && row.supported) return &row;
  return nullptr;
}

int32_t DetectBuildInImage(const uint8_t* image, uint32_t imageSize, SubstringSearch search) {
  for (const EngineBuild& row : kEngineBuilds)
    if (ProbeMatches(image, imageSize, row, search)) return row.build;
  return 0;
}

bool VoiceEngineEntriesFor(int32_t build, uint32_t base, VoiceEngineEntries* out) {
  const EngineBuild* row = FindSupportedBuild(build);
  if (!row) return false;
  const EngineOffsets& at = row->offsets;
  out->funcTable = base + at.funcTable;
  out->voiceInitHandlerOffset = at.voiceInitHandler;
  out->hudFrameOffset = at.hudFrame;
  out->voiceInitFuncOffset = at.voiceInitFunc;
  out->codecSlotOffset = at.codecSlot;
  out->clientState = base + at.clientState;
  out->voiceWord = base + at.voiceWord;
  out->voiceFormat = base + at.voiceFormat;
  return true;
}

bool MessageReaderEntriesFor(int32_t build, uint32_t base, MessageReaderEntries* out) {
  const EngineBuild* row = FindSupportedBuild(build);
  if (!row) return false;
  out->readString = base + row->offsets.readString;
  out->readByte = base + row->offsets.readByte;
  return true;
}
