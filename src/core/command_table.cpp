#include "core/command_table.h"

#include "crash/crash_filter.h"
#include "engine/engine_positions.h"
#include "voice/voice_commands.h"

const CommandRow CommandTable[7] = {
    {"VoiceInit", VoiceInitCommand},
    {"+servervoice", ServerVoiceDown},
    {"-servervoice", VoiceKeyUp},
    {"+steamvoice", SteamVoiceDown},
    {"-steamvoice", VoiceKeyUp},
    {"crash", CrashCommand},
    {"WriteMD", WriteEngineMiniDump},
};

void RegisterCommandTable() {
  if (!EngineFuncTable) return;
  auto addCommand = EngineFunction<engine::AddCommandFn>(engine::kAddCommandSlot);
  for (const CommandRow& row : CommandTable) addCommand(row.name, row.handler);
}
