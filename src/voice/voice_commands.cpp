#include "voice/voice_commands.h"

#include "engine/engine.h"
#include "engine/engine_positions.h"
#include "voice/codec_slot.h"
#include "voice/numbers.h"
#include "voice/voice_init.h"

namespace {

void RunClientCommand(const char* text) {
  EngineFunction<engine::ClientCmdFn>(engine::kClientCmdSlot)(text);
}

const char* Argument(int index) {
  const char* text = EngineFunction<engine::CmdArgvFn>(engine::kCmdArgvSlot)(index);
  return text ? text : "";
}

}  // namespace

// "VoiceInit <codec> <quality>": any codec by hand, in any client state, leaving the
// capture format and the codec state alone.
void __cdecl VoiceInitCommand() {
  ScopedCodecSlotSwap zeroSlot;
  const int quality = ParseDecimal(Argument(2));
  CallEngineVoiceInit(Argument(1), quality);
}

// Recording starts whatever the switch did: the key works like the engine's own.
void __cdecl SteamVoiceDown() {
  VoiceInitSteam();
  RunClientCommand("+voicerecord");
}

void __cdecl ServerVoiceDown() {
  VoiceInitServer();
  RunClientCommand("+voicerecord");
}

void __cdecl VoiceKeyUp() { RunClientCommand("-voicerecord"); }
