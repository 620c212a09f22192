// The voice-init hook: the replacement of the engine's voice-init handler, its hook
// record, and the two codec switches.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "voice/codec_state.h"
#include "voice/hook_descriptor.h"

extern CodecState Codec;                         // the three flags
extern char ServerCodecName[kCodecNameSize];     // last codec a voice-init message named
extern int32_t ServerCodecQuality;               // quality of the last handled message

extern HookDescriptor VoiceInitHook;             // "CL_Parse_VoiceInit" -> HookedVoiceInit
extern engine::ParseHandlerFn VoiceInitEntry;    // the engine's handler, for call-throughs

// The engine positions for this build, the five voice settings, and an empty server codec.
void SetupVoiceEngine();
// Empties ServerCodecName and zeroes ServerCodecQuality; the flags keep their values.
void ResetServerCodec();
// Puts the jump over the engine's handler once; afterwards EngineVoiceInit is callable.
void InstallVoiceInitHook();

// Entered instead of the engine's CL_Parse_VoiceInit; consumes the message's two fields
// itself or through the engine's own handler.
void __cdecl HookedVoiceInit();
// "+steamvoice" and "+servervoice" without the recording part.
void VoiceInitSteam();
void VoiceInitServer();
