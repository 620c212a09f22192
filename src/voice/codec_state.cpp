#include "voice/codec_state.h"

#include <cstring>

VoiceChoice SteamSwitchChoice(const CodecState& state, int32_t clientState) {
  if (clientState != kClientActive) return VoiceChoice::kNothing;
  // Already on Steam voice: a failed flag does not matter here.
  if (state.steamVoiceActive) return VoiceChoice::kNothing;
  return VoiceChoice::kSteamVoice;
}

VoiceChoice ServerSwitchChoice(const CodecState& state, int32_t clientState) {
  if (clientState != kClientActive) return VoiceChoice::kNothing;
  if (state.serverSteamVoice) {
    if (state.steamVoiceActive && !state.voiceInitFailed) return VoiceChoice::kNothing;
    return VoiceChoice::kSteamVoice;
  }
  // On the server's codec already, and it worked: nothing to change.
  if (!state.steamVoiceActive && !state.voiceInitFailed) return VoiceChoice::kNothing;
  return VoiceChoice::kServerCodec;
}

void RecordSwitchOutcome(CodecState* state, VoiceChoice choice, bool succeeded) {
  if (choice == VoiceChoice::kNothing) return;
  if (!succeeded) {
    state->voiceInitFailed = 1;
    return;
  }
  state->steamVoiceActive = choice == VoiceChoice::kSteamVoice ? 1 : 0;
  state->voiceInitFailed = 0;
}

void RecordVoiceInitMessage(CodecState* state, bool codecNamed) {
  state->serverSteamVoice = codecNamed ? 0 : 1;
  state->steamVoiceActive = codecNamed ? 0 : 1;
}

void StoreCodecName(char* buffer, size_t size, const char* name) {
  if (size == 0) return;
  size_t length = 0;
  if (name)
    while (length + 1 < size && name[length]) ++length;
  if (length) std::memcpy(buffer, name, length);
  buffer[length] = '\0';
}
