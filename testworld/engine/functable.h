// The engine's client function table: 32-bit cdecl function pointers.
#pragma once

namespace engine_world {

// Fills `slots` entries at `table`: the six slots the plug-in uses get the engine's
// routines, every other slot a routine that journals "unexpected slot N".
void FillFunctionTable(void** table, int slots);

}  // namespace engine_world
