// The two inline hooks in the real engine layout: where the jumps lead, the HUD_Frame
// call-through, a second start, and an engine module the plug-in cannot recognise.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using plugin_in_game::JumpDestination;
using plugin_in_game::StartedGame;

// The first five bytes of an engine entry: what a hook overwrites.
struct Entry {
  uint8_t bytes[5];
};

Entry ReadEntry(uintptr_t at) {
  Entry entry;
  std::memcpy(entry.bytes, reinterpret_cast<const void*>(at), sizeof entry.bytes);
  return entry;
}

void HooksLeadIntoPlugin(int build) { plugin_in_game::CheckHooks(*StartedGame(build)); }

// Bit patterns that a call-through must not change on the way: a careless float
// conversion or a wrong argument size would.
void CheckHudFramePassesDouble(world::Game& game, double time,
                               scenario::Where at = SCENARIO_CALLER) {
  scenario::Context row("time %.17g", time);
  const uintptr_t entry = game.EngineAddress("HudFrame");
  Entry before = ReadEntry(entry);
  const int count = game.HudFrameCount();
  game.HudFrame(time);
  const double got = game.LastHudFrame();
  ok_at(at, std::memcmp(&got, &time, sizeof time) == 0, "HUD_Frame got %.17g, expected %.17g\n",
        got, time);
  ok_at(at, game.HudFrameCount() == count + 1, "engine routine ran %d times, expected %d\n",
        game.HudFrameCount(), count + 1);
  ok_at(at, std::memcmp(ReadEntry(entry).bytes, before.bytes, 5) == 0,
        "the jump is not back in place\n");
  plugin_in_game::CheckEngineProtection(game, at);
}

// Flushes of the plug-in's instruction cache that cover the five bytes at flushWatched.
uintptr_t flushWatched;
int flushesOfWatched;
BOOL WINAPI RecordFlush(HANDLE, LPCVOID base, SIZE_T size) {
  const auto begin = reinterpret_cast<uintptr_t>(base);
  if (begin <= flushWatched && flushWatched + 5 <= begin + size) ++flushesOfWatched;
  return TRUE;  // x86: nothing to flush
}

void HudFrameCallThrough(int build) {
  auto game = StartedGame(build);
  flushWatched = game->EngineAddress("HudFrame");
  ok(game->ReplaceImport("kernel32.dll", "FlushInstructionCache",
                         reinterpret_cast<void*>(&RecordFlush)) != nullptr,
     "the plug-in does not import FlushInstructionCache\n");
  double negativeZero;
  const uint64_t negativeZeroBits = 0x8000000000000000ull;
  std::memcpy(&negativeZero, &negativeZeroBits, sizeof negativeZero);
  for (double time : {0.016, 123456.789, -1.0, 4.9406564584124654e-324, negativeZero})
    CheckHudFramePassesDouble(*game, time);
  // Each call-through patches the entry twice (its bytes back, the jump again).
  ok(flushesOfWatched == 10, "%d flushes over the HUD_Frame entry, expected 10\n", flushesOfWatched);
}

}  // namespace

SCENARIO(hooks_lead_into_plugin_6027) { HooksLeadIntoPlugin(6027); }
SCENARIO(hooks_lead_into_plugin_6132) { HooksLeadIntoPlugin(6132); }
SCENARIO(hud_frame_call_through_6027) { HudFrameCallThrough(6027); }
SCENARIO(hud_frame_call_through_6132) { HudFrameCallThrough(6132); }

// A stop and a new start run the installers again. Preparing a hook a second time would
// save the jump itself as the "original" bytes, and the next call-through would jump
// back into the plug-in for ever.
SCENARIO(second_start_changes_no_hook) {
  auto game = StartedGame(6132);
  const uintptr_t voiceAt = game->EngineAddress("VoiceInitHandler");
  const uintptr_t hudAt = game->EngineAddress("HudFrame");
  Entry voiceBefore = ReadEntry(voiceAt), hudBefore = ReadEntry(hudAt);
  ok(game->Stop() == 1, "stop call did not answer 1\n");
  ok(game->Start() == 1, "second start call did not answer 1\n");
  ok(std::memcmp(ReadEntry(voiceAt).bytes, voiceBefore.bytes, 5) == 0, "voice-init entry changed\n");
  ok(std::memcmp(ReadEntry(hudAt).bytes, hudBefore.bytes, 5) == 0, "HUD_Frame entry changed\n");
  CheckHudFramePassesDouble(*game, 2.5);
  game->ClearRecords();
  game->VoiceInit("voice_speex", 3);
  ok(game->MessageFieldsRead() == 2, "read %d fields of the message, expected 2\n",
     game->MessageFieldsRead());
  ok(scenario::HasLine(game->Journal(), "slot41 VoiceInit: voice_speex 3"),
     "the voice-init hook did not run after the second start:\n%s\n", game->Journal().c_str());
  // The call-through to the engine's own handler needs the engine's original bytes.
  ok(game->Set("voice_useold", "0"), "no voice_useold setting\n");
  game->ClearRecords();
  game->VoiceInit("voice_celt", 4);
  ok(scenario::HasLine(game->Journal(), "engine: CL_Parse_VoiceInit read \"voice_celt\" 4"),
     "the engine's handler did not run after the second start:\n%s\n", game->Journal().c_str());
  ok(std::memcmp(ReadEntry(voiceAt).bytes, voiceBefore.bytes, 5) == 0, "voice-init hook not back\n");
}

// Slot 17's function is how the plug-in finds the engine module. Here it lies in memory
// without a PE header (a jump to the engine's own function): no hook can be installed,
// commands still register, and the switches must not call through an unset pointer.
SCENARIO(unrecognised_module_leaves_engine_alone) {
  world::Game game(world::ForBuild(6027));
  plugin_in_game::WithPlugin(game);
  auto* table = reinterpret_cast<uintptr_t*>(game.EngineAddress("FuncTable"));
  auto* page = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ok(table && page, "no function table or page\n");
  if (!table || !page) return;
  uint8_t* thunk = page + 0x100;  // the page's start stays zero: no "PE" header there
  const world::Jump jump = world::JumpTo(reinterpret_cast<uintptr_t>(thunk), table[17]);
  std::memcpy(thunk, &jump, sizeof jump);
  table[17] = reinterpret_cast<uintptr_t>(thunk);

  const uintptr_t voiceAt = game.EngineAddress("VoiceInitHandler");
  const uintptr_t hudAt = game.EngineAddress("HudFrame");
  Entry voiceBefore = ReadEntry(voiceAt), hudBefore = ReadEntry(hudAt);
  ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
  ok(game.Start() == 1, "start call did not answer 1\n");
  ok(std::memcmp(ReadEntry(voiceAt).bytes, voiceBefore.bytes, 5) == 0, "voice-init entry patched\n");
  ok(std::memcmp(ReadEntry(hudAt).bytes, hudBefore.bytes, 5) == 0, "HUD_Frame entry patched\n");
  ok(game.HasCommand("+steamvoice") && game.HasCommand("VoiceInit"), "commands not registered\n");

  game.ClearRecords();
  game.VoiceInit("voice_speex", 3);  // the engine's own handler, untouched
  ok(scenario::HasLine(game.Journal(), "engine: CL_Parse_VoiceInit read \"voice_speex\" 3"),
     "the engine's handler did not run:\n%s\n", game.Journal().c_str());

  game.ClearRecords();
  game.Command("+steamvoice");
  game.Command("VoiceInit voice_celt 5");
  ok(game.LastVoiceInit().calls == 0, "the engine's voice initialisation ran %d times\n",
     game.LastVoiceInit().calls);
  ok_bytes(game.Console(), "VoiceInitSteam: Using Steam Voice\n"
                          "[Murmel]:Возникла какая-то ошибка при инициализации кодека\n");
  ok(scenario::HasLine(game.Journal(), "slot20 +voicerecord"), "recording did not start\n");
}

SCENARIO(unload_gives_the_engine_its_own_entries_back) {
  auto game = StartedGame(6027);
  game->Stop();  // a regular end: no error report
  ok(game->Unload(), "the plug-in did not unload\n");
  for (const char* what : {"VoiceInitHandler", "HudFrame"}) {
    const uintptr_t at = game->EngineAddress(what);
    ok(JumpDestination(at) == game->RealRoutine(what),
       "%s still leads elsewhere after the unload\n", what);
  }
  plugin_in_game::CheckEngineProtection(*game);
  // The engine goes on without the plug-in: its own routines run.
  const int frames = game->HudFrameCount();
  game->HudFrame(2.5);
  ok(game->HudFrameCount() == frames + 1 && game->LastHudFrame() == 2.5,
     "the engine's HUD_Frame did not run after the unload\n");
  game->VoiceInit("voice_speex", 3);
  ok(game->MessageFieldsRead() == 2, "the engine's own handler did not read the message\n");
}
