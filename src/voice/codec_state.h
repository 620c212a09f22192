// The codec choice: which voice initialisation a codec switch runs, given the flags, and
// how the flags change afterwards. No windows.h, so every row is testable natively.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kClientActive = 5;  // the engine's client state while in a game
constexpr size_t kCodecNameSize = 60; // ServerCodecName, terminator included

struct CodecState {
  uint8_t serverSteamVoice;  // the last voice-init message we handled named no codec
  uint8_t steamVoiceActive;  // voice was last set up for Steam voice
  uint8_t voiceInitFailed;   // the last switch got a failure from the engine
};

enum class VoiceChoice : uint8_t {
  kNothing,      // stop early: not in a game, or nothing to change
  kSteamVoice,   // initialise Steam voice (codec slot intact)
  kServerCodec,  // initialise the server's codec (codec slot swapped)
};

// "+steamvoice".
VoiceChoice SteamSwitchChoice(const CodecState& state, int32_t clientState);
// "+servervoice": Steam voice when the server announced it, else the server's codec.
VoiceChoice ServerSwitchChoice(const CodecState& state, int32_t clientState);
// After a switch called the engine's voice initialisation with the outcome `succeeded`.
// A failure only sets the failed flag, so the next switch of the same kind tries again.
void RecordSwitchOutcome(CodecState* state, VoiceChoice choice, bool succeeded);
// After a voice-init message that we handled ourselves.
void RecordVoiceInitMessage(CodecState* state, bool codecNamed);

// Copies `name` into a buffer of `size` bytes, cut to size - 1 bytes and always
// terminated; a null name stores the empty text.
void StoreCodecName(char* buffer, size_t size, const char* name);
