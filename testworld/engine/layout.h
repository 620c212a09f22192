// The real engine's layout: build-date probes and per-build positions of builds 6027 and 6132.
// The plug-in carries its own copy of these numbers (src/engine/engine_builds.cpp);
// keeping the world's copy separate means a wrong number on either side shows up as a
// failing scenario.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace engine_world {

// Build-date probe texts, in the plug-in's probe order.
struct Probe {
  int32_t build;
  uint32_t offset;
  const char* text;
};
inline constexpr Probe kProbes[4] = {
    {6027, 0x149284, "Exe build: 17:47:17 Apr 25 2013"},
    {4554, 0x17A11C, "Exe build: 16:05:41 Jun 15 2009"},
    {6132, 0x1478DC, "Exe build: 11:17:34 Aug  8 2013"},  // two blanks before "8"
    {4156, 0x1B670C, "Exe build: 14:58:36 Mar 11 2008"},
};
static_assert(kProbes[0].offset == 1348228 && kProbes[1].offset == 1548572 &&
              kProbes[2].offset == 1341660 && kProbes[3].offset == 1795852,
              "probe offsets, cross-checked in decimal");

// Per-build offsets from the module base (code entries and data).
struct BuildLayout {
  int32_t build;
  uint32_t funcTable;         // client function table (array of cdecl function pointers)
  uint32_t voiceInitHandler;  // CL_Parse_VoiceInit, void()
  uint32_t hudFrame;          // HUD_Frame, void(double)
  uint32_t voiceInitFunc;     // voice initialisation, int(const char* codec, int quality)
  uint32_t codecSlot;         // a function pointer the voice initialisation calls
  uint32_t clientState;       // 32-bit client state word
  uint32_t voiceWord;         // 32-bit voice word
  uint32_t voiceFormat;       // WAVEFORMATEX, 18 bytes
  uint32_t readString;        // const char*()
  uint32_t readByte;          // int()
};
inline constexpr BuildLayout kLayouts[2] = {
    {6027, 0x134260, 0x1E710, 0xBE00, 0xC0550, 0x11A4C8, 0x1055EC0, 0x15A9A0, 0x15A7D0,
     0x29F70, 0x29D90},
    {6132, 0x134260, 0x1E920, 0xBE00, 0xC0750, 0x11A4C8, 0x1056120, 0x15ABF8, 0x15AA28,
     0x2A180, 0x29FA0},
};
// The same numbers in decimal: a slip in either form fails the build.
static_assert(kLayouts[0].funcTable == 1262176 && kLayouts[0].voiceInitHandler == 124688 &&
              kLayouts[0].hudFrame == 48640 && kLayouts[0].voiceInitFunc == 787792 &&
              kLayouts[0].codecSlot == 1156296 && kLayouts[0].clientState == 17129152 &&
              kLayouts[0].voiceWord == 1419680 && kLayouts[0].voiceFormat == 1419216 &&
              kLayouts[0].readString == 171888 && kLayouts[0].readByte == 171408,
              "build 6027 column");
static_assert(kLayouts[1].funcTable == 1262176 && kLayouts[1].voiceInitHandler == 125216 &&
              kLayouts[1].hudFrame == 48640 && kLayouts[1].voiceInitFunc == 788304 &&
              kLayouts[1].codecSlot == 1156296 && kLayouts[1].clientState == 17129760 &&
              kLayouts[1].voiceWord == 1420280 && kLayouts[1].voiceFormat == 1419816 &&
              kLayouts[1].readString == 172416 && kLayouts[1].readByte == 171936,
              "build 6132 column");

// The engine region: RVA 0x1000 up to 0x1101000, so every offset above lies inside.
inline constexpr uint32_t kRegionStart = 0x1000;
inline constexpr uint32_t kRegionSize = 0x1100000;

// The code part of the region, below every data offset and probe: read-and-execute once
// the world is laid out, as a real module's code is, so a patch must change the
// protection first.
inline constexpr uint32_t kCodeEnd = 0xC1000;
constexpr bool CodeBelowData(const BuildLayout& l) {
  for (uint32_t code : {l.voiceInitHandler, l.hudFrame, l.voiceInitFunc, l.readString, l.readByte})
    if (code < kRegionStart || code + 5 > kCodeEnd) return false;
  for (uint32_t data : {l.funcTable, l.codecSlot, l.clientState, l.voiceWord, l.voiceFormat})
    if (data < kCodeEnd) return false;
  return true;
}
static_assert(CodeBelowData(kLayouts[0]) && CodeBelowData(kLayouts[1]),
              "code entries below kCodeEnd, data above it");
static_assert(kProbes[2].offset >= kCodeEnd, "the lowest probe lies above the code");

// Slots of the client function table that the world fills with a routine that journals
// "unexpected slot N"; the real table is longer, but no caller goes past this.
inline constexpr int kFuncTableSlots = 160;

inline const BuildLayout* FindLayout(int32_t build) {
  for (const BuildLayout& layout : kLayouts)
    if (layout.build == build) return &layout;
  return nullptr;
}

inline const Probe* FindProbe(int32_t build) {
  for (const Probe& probe : kProbes)
    if (probe.build == build) return &probe;
  return nullptr;
}

}  // namespace engine_world
