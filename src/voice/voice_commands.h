// Handlers of the five voice console commands (engine command handlers: cdecl, no
// arguments, no result).
#pragma once

void __cdecl VoiceInitCommand();   // "VoiceInit"
void __cdecl ServerVoiceDown();    // "+servervoice"
void __cdecl SteamVoiceDown();     // "+steamvoice"
void __cdecl VoiceKeyUp();         // "-servervoice", "-steamvoice"
