// Inline 5-byte jump hooks on the engine's voice-init handler and HUD_Frame routine.
#pragma once

void InstallVoiceInitHook();
void InstallHudFrameHook();
