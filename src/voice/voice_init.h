// The replacement of the engine's voice-init handler and the two codec switches.
#pragma once

#include <cstdint>

#include "voice/codec_state.h"

extern CodecState Codec;                         // the three flags
extern char ServerCodecName[kCodecNameSize];     // last codec a voice-init message named
extern int32_t ServerCodecQuality;               // quality of the last handled message

// Empties ServerCodecName and zeroes ServerCodecQuality; the flags keep their values.
void ResetServerCodec();

// Entered instead of the engine's CL_Parse_VoiceInit; consumes the message's two fields
// itself or through the engine's own handler.
void __cdecl HookedVoiceInit();
// "+steamvoice" and "+servervoice" without the recording part.
void VoiceInitSteam();
void VoiceInitServer();
