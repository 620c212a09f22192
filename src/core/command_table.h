// The console commands that late start-up registers with the engine.
#pragma once

#include "engine/engine.h"

struct CommandRow {
  const char* name;
  engine::CommandHandler handler;
};

extern const CommandRow CommandTable[7];

// Offers every row, in order, to the engine's add-command slot.
void RegisterCommandTable();
