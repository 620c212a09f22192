// The test world checked on its own, without the plug-in: if these pass, a failing
// plug-in scenario points at the plug-in, not at the world.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "probe.h"
#include "scenario.h"

namespace {

// The engine's numbers once more (probes and per-build positions, in decimal), kept apart
// from the world's own hex table so that a slip in either shows: the plug-in relies on
// the world laying its image out exactly so.
struct ExpectedColumn {
  int build;
  uint32_t handler, hudFrame, voiceInit, readString, readByte, state, voiceWord, format, probe;
  const char* probeText;
};
const ExpectedColumn kColumns[] = {
    {6027, 124688, 48640, 787792, 171888, 171408, 17129152, 1419680, 1419216, 1348228,
     "Exe build: 17:47:17 Apr 25 2013"},
    {6132, 125216, 48640, 788304, 172416, 171936, 17129760, 1420280, 1419816, 1341660,
     "Exe build: 11:17:34 Aug  8 2013"},
};
constexpr uint32_t kFuncTable = 1262176, kCodecSlot = 1156296;
constexpr uint32_t kProbe1 = 0x149284, kProbe2 = 0x17A11C, kProbe4 = 0x1B670C;

template <typename T>
T Read(uintptr_t address) {
  T value;
  memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return value;
}

// Where the 5-byte jump at `entry` leads, or 0 when there is no E9 jump.
uintptr_t JumpTarget(uintptr_t entry) {
  return Read<uint8_t>(entry) == world::kJumpOpcode ? world::JumpDestination(entry) : 0;
}

using world::ForBuild;

template <typename F>
F Slot(const world::Game& game, int slot) {
  return reinterpret_cast<F>(reinterpret_cast<void**>(game.EngineAddress("FuncTable"))[slot]);
}

template <typename F>
F ModuleExport(const char* module, const char* name) {
  HMODULE handle = GetModuleHandleA(module);
  return handle ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(handle, name))) : nullptr;
}

void CheckLayout(int build) {
  scenario::Context row("build %d", build);
  world::Game game(ForBuild(build));
  const ExpectedColumn& column = kColumns[build == 6027 ? 0 : 1];
  uintptr_t base = game.EngineBase();
  ok(base == reinterpret_cast<uintptr_t>(game.Engine()), "engine base %#x, module handle %p\n",
     base, static_cast<void*>(game.Engine()));

  const struct {
    const char* name;
    uint32_t offset;
  } code[] = {{"VoiceInitHandler", column.handler}, {"HudFrame", column.hudFrame},
              {"VoiceInitFunc", column.voiceInit}, {"ReadString", column.readString},
              {"ReadByte", column.readByte}};
  for (const auto& entry : code) {
    uintptr_t address = game.EngineAddress(entry.name);
    ok(address == base + entry.offset, "%s at %#x, expected base + %#x\n", entry.name, address,
       entry.offset);
    uintptr_t target = JumpTarget(base + entry.offset);
    ok(target == game.RealRoutine(entry.name) && target != 0,
       "%s: jump leads to %#x, expected the real routine %#x\n", entry.name, target,
       game.RealRoutine(entry.name));
    // Read-and-execute, as a real module's code: a patch must change the protection.
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(reinterpret_cast<void*>(base + entry.offset), &region, sizeof region);
    ok(region.Protect == PAGE_EXECUTE_READ, "%s: protection %#lx, expected %#x\n", entry.name,
       region.Protect, PAGE_EXECUTE_READ);
  }

  ok(game.EngineAddress("FuncTable") == base + kFuncTable, "function table at %#x\n",
     game.EngineAddress("FuncTable"));
  ok(Read<uintptr_t>(base + kCodecSlot) == game.RealRoutine("CodecFunction"),
     "codec slot holds %#x, expected the engine's function %#x\n", Read<uintptr_t>(base + kCodecSlot),
     game.RealRoutine("CodecFunction"));
  ok(Read<int32_t>(base + column.state) == 5, "client state %d\n", Read<int32_t>(base + column.state));
  ok(Read<int32_t>(base + column.voiceWord) == 1, "voice word %d\n", Read<int32_t>(base + column.voiceWord));
  const uint8_t expectedFormat[18] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0, 0, 0};
  ok(memcmp(reinterpret_cast<const void*>(base + column.format), expectedFormat, 18) == 0,
     "capture format bytes: %s\n",
     scenario::Escape(std::string(reinterpret_cast<const char*>(base + column.format), 18)).c_str());
  ok_bytes(std::string(reinterpret_cast<const char*>(base + column.probe)), column.probeText);
}

// Client function table slots and interfaces, as the engine declares them.
using engine::AddCommandFn;
using engine::ClientCmdFn;
using engine::ConPrintfFn;
using engine::RegisterVariableFn;

// Command handlers for the console scenario: what slot 39 gives them, printed via 40/41.
void** funcTable = nullptr;
void __cdecl EchoArguments() {
  auto argv = reinterpret_cast<engine::CmdArgvFn>(funcTable[39]);
  reinterpret_cast<ConPrintfFn>(funcTable[40])("args [%s] [%s] [%s] [%s]\n", argv(0), argv(1), argv(2), argv(3));
}
void __cdecl NewerHandler() { reinterpret_cast<ConPrintfFn>(funcTable[41])("newer handler %d\n", 2); }

}  // namespace

SCENARIO(layout_6027_puts_every_position_at_its_offset) { CheckLayout(6027); }

SCENARIO(layout_6132_puts_every_position_at_its_offset) { CheckLayout(6132); }

SCENARIO(voice_init_message_runs_engine_handler) {
  world::Game game(ForBuild(6132));
  game.VoiceInit("voice_speex", 3);
  std::string journal = game.Journal();
  ok_bytes(journal,
           "engine: CL_Parse_VoiceInit read \"voice_speex\" 3\n"
           "engine: VoiceInit \"voice_speex\" 3 slot=engine -> Steam voice, rate 8000, bytes 16000, result 1\n"
           "engine: voice init message: read 2 of 2 fields\n");
  ok(game.MessageFieldsRead() == 2, "fields read %d\n", game.MessageFieldsRead());
  // A read past the message, as a wrong handler would make it: the engine's -1, journaled.
  auto readByte = reinterpret_cast<int(__cdecl*)()>(game.EngineAddress("ReadByte"));
  ok(readByte() == -1, "a read past the message gave a value\n");
  ok_bytes(game.Journal().substr(journal.size()), "engine: message read out of order (ReadByte at field 2)\n");
  WorldVoiceInitCall call = game.LastVoiceInit();
  ok(call.calls == 1 && strcmp(call.codec, "voice_speex") == 0 && call.quality == 3 &&
         call.slotWasEngine == 1 && call.usedSteam == 1,
     "voice init: calls %d codec \"%s\" quality %d slotWasEngine %d usedSteam %d\n", call.calls,
     call.codec, call.quality, call.slotWasEngine, call.usedSteam);
  ok(game.Console().empty(), "console \"%s\"\n", scenario::Escape(game.Console()).c_str());
}

// The slot's content decides: a function returning 0 there means "the named codec".
int __cdecl ZeroSlot() { return 0; }
SCENARIO(codec_slot_and_capture_format_reach_voice_init) {
  world::Options options = ForBuild(6027);
  options.voiceInitResult = 0;
  world::Game game(options);
  auto slot = reinterpret_cast<int(__cdecl**)()>(game.EngineAddress("CodecSlot"));
  auto format = reinterpret_cast<uint32_t*>(game.EngineAddress("VoiceFormat") + 4);
  *slot = &ZeroSlot;
  format[0] = 22050;
  format[1] = 44100;
  auto voiceInit = reinterpret_cast<int(__cdecl*)(const char*, int)>(game.EngineAddress("VoiceInitFunc"));
  *reinterpret_cast<int32_t*>(game.EngineAddress("VoiceWord")) = 0;
  int result = voiceInit("voice_miles", 5);
  ok(result == 0, "voice init returned %d, expected the configured 0\n", result);
  ok(*reinterpret_cast<int32_t*>(game.EngineAddress("VoiceWord")) == 1, "voice word not set to 1\n");
  ok(scenario::HasLine(game.Journal(),
                       "engine: VoiceInit \"voice_miles\" 5 slot=other -> codec \"voice_miles\", "
                       "rate 22050, bytes 44100, result 0"),
     "journal:\n%s", game.Journal().c_str());
  WorldVoiceInitCall call = game.LastVoiceInit();
  ok(call.usedSteam == 0 && call.slotWasEngine == 0 && call.samplesPerSec == 22050 &&
         call.avgBytesPerSec == 44100,
     "usedSteam %d slotWasEngine %d rates %u/%u\n", call.usedSteam, call.slotWasEngine,
     call.samplesPerSec, call.avgBytesPerSec);
  game.SetClientState(2);
  ok(*reinterpret_cast<int32_t*>(game.EngineAddress("ClientState")) == 2, "client state not changed\n");
}

SCENARIO(hud_frame_gets_the_double_bit_exactly) {
  world::Game game(ForBuild(6027));
  const double times[] = {0.016, -0.0, 1e-310 /* denormal */, 123456.789012345678};
  for (double time : times) {
    game.HudFrame(time);
    double got = game.LastHudFrame();
    ok(memcmp(&got, &time, sizeof time) == 0, "HUD_Frame got %.17g, sent %.17g\n", got, time);
  }
  ok(game.HudFrameCount() == 4, "HUD_Frame ran %d times\n", game.HudFrameCount());
  ok(game.Journal().empty(), "HUD_Frame journals nothing, got \"%s\"\n", game.Journal().c_str());
}

SCENARIO(settings_commands_arguments_and_prints) {
  // The refused name fills the setup's field: all 31 characters count, and no fewer.
  const std::string refused(31, 'r');
  world::Options options = ForBuild(6027);
  options.refusedSetting = refused.c_str();
  world::Game game(options);
  funcTable = reinterpret_cast<void**>(game.EngineAddress("FuncTable"));
  auto registerVariable = Slot<RegisterVariableFn>(game, 14);
  ok(registerVariable(refused.c_str(), "1", 0) == nullptr, "the refused setting was registered\n");
  ok(registerVariable(refused.substr(1).c_str(), "1", 0) != nullptr, "a shorter name was refused\n");
  const void* record = registerVariable("voice_test", "11025.9", 128);
  ok(record == game.SettingRecord("voice_test"), "slot 14 returned %p\n", record);
  float value;
  memcpy(&value, static_cast<const char*>(record) + 12, sizeof value);
  ok(value == 11025.9f, "record value (fourth word) %f\n", value);
  const void* again = registerVariable("voice_test", "1", 16);
  ok(again == record && game.Setting("voice_test") == 11025.9f,
     "second registration: %p (first %p), value %f\n", again, record, game.Setting("voice_test"));

  auto addCommand = Slot<AddCommandFn>(game, 17);
  addCommand("echo_args", &EchoArguments);
  ok(game.HasCommand("echo_args"), "command not registered\n");
  game.Command("echo_args alpha \"beta gamma\"");
  addCommand("newer", &EchoArguments);
  addCommand("newer", &NewerHandler);
  game.Command("newer; voice_test 22050; no_such_thing 1");
  ok(game.Setting("voice_test") == 22050.0f, "set by console: %f\n", game.Setting("voice_test"));
  ok(game.Set("voice_test", "8000") && game.SettingText("voice_test") == "8000",
     "Set: \"%s\"\n", game.SettingText("voice_test").c_str());
  ok(!game.Set("voice_missing", "1") && game.Setting("voice_missing") == -12345.0f,
     "a missing setting is not created\n");

  Slot<ClientCmdFn>(game, 20)("+voicerecord");
  Slot<ClientCmdFn>(game, 20)("-voicerecord\n");
  Slot<ConPrintfFn>(game, 40)("%s%s", "[Murmel]:", "\xD0\xBF\xD1\x80\xD0\xB8\n");
  Slot<int(__cdecl*)()>(game, 3)();  // a stray slot
  game.Command("version");

  ok_bytes(game.Journal(),
           "slot14 " + refused + " \"1\" 0\n"
           "slot14 " + refused.substr(1) + " \"1\" 0\n"
           "slot14 voice_test \"11025.9\" 128\n"
           "slot14 voice_test \"1\" 16\n"
           "slot17 echo_args\n"
           "slot40 args [echo_args] [alpha] [beta gamma] []\n"
           "slot17 newer\n"
           "slot17 newer\n"
           "slot41 newer handler 2\n"
           "slot20 +voicerecord\n"
           "engine: voice record start\n"
           "slot20 -voicerecord\n"
           "engine: voice record stop\n"
           "slot40 [Murmel]:\xD0\xBF\xD1\x80\xD0\xB8\n"
           "unexpected slot 3\n");
  ok_bytes(game.Console(),
           "args [echo_args] [alpha] [beta gamma] []\n"
           "newer handler 2\n"
           "Unknown command: no_such_thing\n"
           "[Murmel]:\xD0\xBF\xD1\x80\xD0\xB8\n"
           "Protocol version 48\nExe version 1.1.2.2/Stdio (valve)\n"
           "Exe build: 17:47:17 Apr 25 2013 (6027)\n");
}

namespace {

using engine::CreateInterfaceFn;
using ActivateFn = engine::ConsoleActivateFn;
using engine::ConsolePrintfFn;
using engine::RunCommandFn;

template <typename F>
F Method(void* object, int slot) {
  return reinterpret_cast<F>(engine::Method(object, slot));
}

CreateInterfaceFn FactoryOf(HMODULE module) {
  return module ? reinterpret_cast<CreateInterfaceFn>(
                      reinterpret_cast<void*>(GetProcAddress(module, "CreateInterface")))
                : nullptr;
}

}  // namespace

SCENARIO(gameui_vgui2_and_engine_interfaces_answer) {
  world::Game game(ForBuild(6027));
  // As the plug-in loads it: a path relative to the game's current directory.
  CreateInterfaceFn gameUI = FactoryOf(LoadLibraryA("valve\\cl_dlls\\GameUI.dll"));
  ok(gameUI != nullptr, "GameUI.dll or its factory missing\n");
  if (!gameUI) return;
  void* console = gameUI("GameConsole003", nullptr);
  void* runGameEngine = gameUI("RunGameEngine006", nullptr);
  int code = -1;
  void* ui = gameUI("GameUI007", &code);
  ok(console && runGameEngine && ui && code == 0, "objects %p %p %p, code %d\n", console, runGameEngine, ui, code);
  ok(gameUI("GameConsole004", &code) == nullptr && code == 1, "unknown version: code %d\n", code);

  Method<ActivateFn>(console, 1)(console);
  Method<ConsolePrintfFn>(console, 6)(console, "%s%s", "[Murmel]:", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\n");
  Method<RunCommandFn>(runGameEngine, 2)(runGameEngine, "version");
  Method<ActivateFn>(console, 3)(console);  // a stray method
  ok_bytes(game.Journal(), "console activate\nRunGameEngine version\nunexpected GameConsole003 slot 3\n");
  ok_bytes(game.Console(),
           "[Murmel]:\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\n"
           "Protocol version 48\nExe version 1.1.2.2/Stdio (valve)\n"
           "Exe build: 17:47:17 Apr 25 2013 (6027)\n");

  CreateInterfaceFn engine = FactoryOf(LoadLibraryA("hw.dll"));
  ok(engine && engine("BaseUI001", nullptr) && !engine("GameUI007", nullptr), "hw.dll factory\n");
  CreateInterfaceFn vgui2 = FactoryOf(LoadLibraryA("vgui2.dll"));
  ok(vgui2 != nullptr, "vgui2.dll factory missing\n");
  if (!vgui2) return;
  const char* versions[] = {"VGUI_Localize002", "VGUI_System009", "VGUI_Input004", "VGUI_InputInternal001"};
  void* objects[4];
  for (int i = 0; i < 4; ++i) {
    objects[i] = vgui2(versions[i], nullptr);
    ok(objects[i] != nullptr, "%s missing\n", versions[i]);
    for (int j = 0; j < i; ++j) ok(objects[i] != objects[j], "%s and %s are one object\n", versions[i], versions[j]);
  }
}

SCENARIO(missing_modules_are_missing) {
  world::Options options = ForBuild(6027);
  options.vgui2 = false;
  options.gameui = false;
  options.tier0Export = false;
  world::Game game(options);
  for (const char* name : {"vgui2.dll", "valve\\cl_dlls\\GameUI.dll"}) {
    SetLastError(0);
    HMODULE module = LoadLibraryA(name);
    DWORD error = GetLastError();
    ok(module == nullptr && error == ERROR_MOD_NOT_FOUND, "%s: module %p, error %lu\n", name,
       static_cast<void*>(module), error);
  }
  HMODULE tier0 = LoadLibraryW(L"tier0.dll");
  ok(tier0 && !GetProcAddress(tier0, "WriteMiniDump"), "tier0 %p should lack WriteMiniDump\n",
     static_cast<void*>(tier0));
  // Nothing of the world lies next to the exe, where the loader looks first.
  for (const char* name : {"hw.dll", "vgui2.dll", "tier0.dll", "vstdlib.dll", "GameUI.dll"})
    ok(!std::filesystem::exists(world::ExeDir() / name), "%s next to the exe\n", name);
}

SCENARIO(vgui2_without_factory) {
  world::Options options = ForBuild(6027);
  options.vgui2Factory = false;
  world::Game game(options);
  HMODULE vgui2 = LoadLibraryA("vgui2.dll");
  ok(vgui2 != nullptr && FactoryOf(vgui2) == nullptr, "vgui2 %p, factory %p\n",
     static_cast<void*>(vgui2), reinterpret_cast<void*>(FactoryOf(vgui2)));
}

namespace {
DWORD ImageSize(HMODULE module) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(reinterpret_cast<BYTE*>(module) + dos->e_lfanew);
  return nt->OptionalHeader.SizeOfImage;
}
}  // namespace

SCENARIO(small_engine_image_ends_before_probe_1) {
  world::Options options = ForBuild(6027);
  options.smallEngine = true;
  world::Game game(options);
  ok(game.Engine() != nullptr, "no engine loaded\n");
  if (!game.Engine()) return;
  DWORD size = ImageSize(game.Engine());
  ok(size < kProbe1, "small engine SizeOfImage %#lx, must be below %#x\n", size, kProbe1);
  ok(game.EngineAddress("FuncTable") == 0, "small engine claims a layout\n");
  // Every probe offset lies in the engine's fence, the one reservation from the image's
  // next 64 KiB boundary on: a probe that leaves the image faults, whatever the process
  // maps later (Wine reserves address space of its own, so reserved alone proves nothing).
  uintptr_t fence = (game.EngineBase() + size + 0xFFFF) & ~uintptr_t{0xFFFF};
  for (uint32_t offset : {0x1478DCu, kProbe1, kProbe2, kProbe4}) {
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(reinterpret_cast<void*>(game.EngineBase() + offset), &region, sizeof region);
    ok(region.State == MEM_RESERVE && reinterpret_cast<uintptr_t>(region.AllocationBase) == fence,
       "probe offset %#x of the small engine is not fenced (state %#lx, reservation at %p)\n", offset,
       region.State, region.AllocationBase);
  }
  game.Command("version");
  ok(scenario::HasLine(game.Console(), "Exe build: 17:47:17 Apr 25 2013 (6027)"), "console: %s\n",
     game.Console().c_str());
}

SCENARIO(big_engine_image_covers_every_offset) {
  world::Game game(ForBuild(6132));
  DWORD size = ImageSize(game.Engine());
  ok(size >= 0x1101000, "engine SizeOfImage %#lx\n", size);
  ok(game.EngineBase() == 0x20000000, "engine not at its preferred base: %#x\n", game.EngineBase());
}

namespace {
std::string TextAt(const world::Game& game, uint32_t offset) {
  return reinterpret_cast<const char*>(game.EngineBase() + offset);
}
}  // namespace

SCENARIO(probe_styles) {
  world::Options options = ForBuild(6027);
  options.probe = kProbePrefixed;
  world::Game game(options);
  ok_bytes(TextAt(game, kProbe1), "xxExe build: 17:47:17 Apr 25 2013");
  auto prepare = reinterpret_cast<int(__cdecl*)(const WorldSetup*)>(
      reinterpret_cast<void*>(GetProcAddress(game.Engine(), "World_Prepare")));
  WorldSetup setup{6027, kProbeOtherCase, 0, 1, 5, {}};
  ok(prepare(&setup) == 1, "World_Prepare did not return 1\n");
  ok_bytes(TextAt(game, kProbe1), "EXE BUILD: 17:47:17 APR 25 2013");
  setup = WorldSetup{6027, kProbeNone, 0, 1, 5, {}};
  prepare(&setup);
  ok_bytes(TextAt(game, kProbe1), "");
  setup = WorldSetup{4554, kProbeExact, 0, 1, 5, {}};
  prepare(&setup);
  ok_bytes(TextAt(game, kProbe2), "Exe build: 16:05:41 Jun 15 2009");
  ok(game.EngineAddress("FuncTable") == 0, "build 4554 has no layout\n");
  setup = WorldSetup{4156, kProbeExact, 0, 1, 5, {}};
  prepare(&setup);
  ok_bytes(TextAt(game, kProbe4), "Exe build: 14:58:36 Mar 11 2008");
  ok_bytes(TextAt(game, kProbe2), "");
}

CHILD_MODE(read_probe_4) {
  world::Options options = ForBuild(6027);
  options.guardProbe4 = true;
  world::Game game(options);
  printf("reading\n");
  volatile char c = *reinterpret_cast<const volatile char*>(game.EngineBase() + kProbe4);
  printf("read %d\n", c);
}

SCENARIO(guarded_probe_4_faults_on_read) {
  scenario::ChildResult child = scenario::RunChildMode("read_probe_4");
  ok(child.started && !child.timedOut, "child started %d, timed out %d\n", child.started, child.timedOut);
  ok(child.exitCode == EXCEPTION_ACCESS_VIOLATION, "exit code %#lx, expected an access violation\n",
     child.exitCode);
  ok(child.out.find("reading\n") != std::string::npos && child.out.find("read ") == std::string::npos,
     "child output \"%s\"\n", scenario::Escape(child.out).c_str());
}

CHILD_MODE(print_and_exit) {
  printf("out \xD0\xB4\n");
  fprintf(stderr, "err\n");
  fflush(stdout);
  ExitProcess(7);
}

CHILD_MODE(sleep_forever) { Sleep(INFINITE); }

SCENARIO(child_processes_with_time_out) {
  scenario::ChildResult child = scenario::RunChildMode("print_and_exit");
  ok(child.exitCode == 7 && !child.timedOut, "exit code %lu, timed out %d\n", child.exitCode, child.timedOut);
  ok_bytes(child.out, "out \xD0\xB4\n");
  ok_bytes(child.err, "err\n");
  DWORD started = GetTickCount();
  child = scenario::RunChildMode("sleep_forever", {}, 1500);
  DWORD took = GetTickCount() - started;
  ok(child.timedOut && took < 10000, "timed out %d after %lu ms\n", child.timedOut, took);
}

namespace {
DWORD WINAPI FakeTickCount() { return 4242; }
// GCC may reuse a loaded import pointer within one function; a call of its own reads
// the import table entry afresh.
__attribute__((noipa)) DWORD TicksThroughImport() { return GetTickCount(); }
}  // namespace

SCENARIO(import_table_entry_replaced) {
  HMODULE self = GetModuleHandleA(nullptr);
  void* previous = world::ReplaceImport(self, "kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&FakeTickCount));
  ok(previous != nullptr, "GetTickCount import not found\n");
  DWORD ticks = TicksThroughImport();
  ok(ticks == 4242, "GetTickCount gave %lu\n", ticks);
  world::ReplaceImport(self, "KERNEL32.dll", "GetTickCount", previous);
  ok(TicksThroughImport() != 4242, "import not restored\n");
  ok(world::ReplaceImport(self, "user32.dll", "NoSuchFunction", nullptr) == nullptr, "found a missing import\n");
}

SCENARIO(fresh_game_folder_and_environment) {
  std::filesystem::path folder = scenario::StartDir() / "games" / scenario::Name();
  std::filesystem::create_directories(folder);
  FILE* leftover = _wfopen((folder / L"leftover.txt").c_str(), L"w");
  if (leftover) fclose(leftover);
  world::Game game(ForBuild(6027));
  ok(game.Folder() == folder, "folder %s\n", game.Folder().string().c_str());
  ok(!std::filesystem::exists(folder / "leftover.txt"), "the folder was not wiped\n");
  ok(std::filesystem::current_path() == folder, "current directory %s\n",
     std::filesystem::current_path().string().c_str());
  for (const char* name : {"hw.dll", "vgui2.dll", "tier0.dll", "vstdlib.dll", "valve/cl_dlls/GameUI.dll"})
    ok(std::filesystem::exists(folder / name), "%s missing from the game folder\n", name);
  char host[64] = "";
  GetEnvironmentVariableA("MURMELON_UPDATE_HOST", host, sizeof host);
  ok(strcmp(host, "127.0.0.1:9") == 0, "MURMELON_UPDATE_HOST \"%s\"\n", host);
  ok(strcmp(getenv("MURMELON_UPDATE_HOST") ? getenv("MURMELON_UPDATE_HOST") : "", "127.0.0.1:9") == 0,
     "the C runtime's copy differs\n");
  ok(game.Start() == world::Game::kNoEntry && !game.Unload(), "no plug-in loaded, yet it answered\n");
}

namespace {
// vstdlib's exports, cdecl.
using StristrFn = char*(__cdecl*)(const char*, const char*);
using SnprintfFn = int(__cdecl*)(char*, int, const char*, ...);
using UnicodeToUtf8Fn = int(__cdecl*)(const wchar_t*, char*, int);
using StrncpyFn = void(__cdecl*)(char*, const char*, int);
using ExtractFilePathFn = bool(__cdecl*)(const char*, char*, int);
using MakeAbsolutePathFn = void(__cdecl*)(char*, int, const char*, const char*);

const char* const kQNames[46] = {
    "Q_AppendSlash", "Q_ComposeFileName", "Q_DefaultExtension", "Q_ExtractFileExtension",
    "Q_ExtractFilePath", "Q_FileBase", "Q_FixSlashes", "Q_GetFileExtension", "Q_IsAbsolutePath",
    "Q_MakeAbsolutePath", "Q_RemoveDotSlashes", "Q_SetExtension", "Q_SplitString", "Q_SplitString2",
    "Q_StrLeft", "Q_StrRight", "Q_StrSlice", "Q_StrSubst", "Q_StripExtension", "Q_StripFilename",
    "Q_StripLastDir", "Q_StripTrailingSlash", "Q_UTF8ToUnicode", "Q_UnicodeToUTF8",
    "Q_UnqualifiedFileName", "Q_atof", "Q_atoi", "Q_binarytohex", "Q_hextobinary", "Q_pretifymem",
    "Q_pretifynum", "Q_snprintf", "Q_strcasecmp", "Q_strcat", "Q_stristr", "Q_strncasecmp",
    "Q_strncat", "Q_strnchr", "Q_strncmp", "Q_strncpy", "Q_strnicmp", "Q_strnistr", "Q_strtowcs",
    "Q_vsnprintf", "Q_wcsncpy", "Q_wcstostr"};
}  // namespace

SCENARIO(vstdlib_exports_and_behaviour) {
  world::Game game(ForBuild(6027));
  HMODULE vstdlib = LoadLibraryW(L"vstdlib.dll");
  ok(vstdlib != nullptr, "vstdlib.dll missing\n");
  if (!vstdlib) return;
  for (const char* name : kQNames) ok(GetProcAddress(vstdlib, name) != nullptr, "%s missing\n", name);

  auto stristr = ModuleExport<StristrFn>("vstdlib.dll", "Q_stristr");
  const char* text = "xxEXE Build: 17:47:17";
  ok(stristr(text, "exe build:") == text + 2, "Q_stristr gave %p, text at %p\n",
     static_cast<void*>(stristr(text, "exe build:")), static_cast<const void*>(text));
  ok(stristr(text, "missing") == nullptr, "Q_stristr found a missing text\n");

  auto snprintf_ = ModuleExport<SnprintfFn>("vstdlib.dll", "Q_snprintf");
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  int n = snprintf_(buffer, 8, "%s", "12345678");
  ok(n < 0 && strcmp(buffer, "1234567") == 0, "cut: %d \"%s\"\n", n, buffer);
  n = snprintf_(buffer, 8, "%d", 12345678);
  ok(n < 0 && strcmp(buffer, "1234567") == 0, "8 digits in 8 bytes (no room for the terminator): %d \"%s\"\n", n, buffer);
  n = snprintf_(buffer, 8, "%d", 1234567);
  ok(n == 7 && strcmp(buffer, "1234567") == 0, "7 digits in 8 bytes: %d\n", n);
  n = snprintf_(buffer, 8, "%d", 42);
  ok(n == 2 && strcmp(buffer, "42") == 0, "fits: %d \"%s\"\n", n, buffer);
  buffer[0] = 'x';
  n = snprintf_(buffer, 0, "%d", 42);
  ok(n < 0 && buffer[0] == 'x', "maxLen 0: %d, wrote %c\n", n, buffer[0]);

  auto toUtf8 = ModuleExport<UnicodeToUtf8Fn>("vstdlib.dll", "Q_UnicodeToUTF8");
  char utf8[6];
  memset(utf8, 'x', sizeof utf8);
  toUtf8(L"\u041f\u0440\u0438", utf8, sizeof utf8);  // 6 bytes of UTF-8: only two letters fit
  ok_bytes(std::string(utf8), "\xD0\x9F\xD1\x80");

  auto strncpy_ = ModuleExport<StrncpyFn>("vstdlib.dll", "Q_strncpy");
  memset(buffer, 'x', sizeof buffer);
  strncpy_(buffer, "Murmelon_Build", 5);
  ok_bytes(std::string(buffer), "Murm");

  auto extractPath = ModuleExport<ExtractFilePathFn>("vstdlib.dll", "Q_ExtractFilePath");
  char path[260];
  ok(extractPath("C:\\game\\Murmelon.asi", path, sizeof path) && strcmp(path, "C:\\game\\") == 0,
     "Q_ExtractFilePath \"%s\"\n", path);
  ok(!extractPath("Murmelon.asi", path, sizeof path), "no directory: true\n");

  auto makeAbsolute = ModuleExport<MakeAbsolutePathFn>("vstdlib.dll", "Q_MakeAbsolutePath");
  makeAbsolute(path, sizeof path, "stufftata.btz", nullptr);
  char current[260];
  GetCurrentDirectoryA(sizeof current, current);
  ok_bytes(std::string(path), std::string(current) + "\\stufftata.btz");
  makeAbsolute(path, sizeof path, "b\\..\\c.txt", "D:\\a");
  ok_bytes(std::string(path), "D:\\a\\c.txt");
}

SCENARIO(vstdlib_partial_lacks_three) {
  world::Options options = ForBuild(6027);
  options.vstdlibPartial = true;
  world::Game game(options);
  HMODULE vstdlib = LoadLibraryW(L"vstdlib.dll");
  for (const char* name : kQNames) {
    bool lacking = !strcmp(name, "Q_UnicodeToUTF8") || !strcmp(name, "Q_strncpy") || !strcmp(name, "Q_MakeAbsolutePath");
    ok((GetProcAddress(vstdlib, name) == nullptr) == lacking, "%s %s\n", name, lacking ? "present" : "missing");
  }
}

SCENARIO(tier0_write_minidump_journals) {
  world::Game game(ForBuild(6027));
  auto writeMiniDump = ModuleExport<void(__cdecl*)(void*)>("tier0.dll", "WriteMiniDump");
  ok(writeMiniDump != nullptr, "WriteMiniDump missing\n");
  if (!writeMiniDump) return;
  writeMiniDump(nullptr);
  ok_bytes(game.Journal(), "tier0 WriteMiniDump(null)\n");
}

SCENARIO(world_without_engine) {
  world::Options options = ForBuild(6027);
  options.engine = false;
  world::Game game(options);
  ok(game.Engine() == nullptr && LoadLibraryA("hw.dll") == nullptr, "hw.dll present\n");
  game.Command("version");
  game.VoiceInit("voice_speex", 3);
  ok(game.Console().empty() && game.Journal().empty(), "records without an engine\n");
  // The other modules still load and answer, only without records.
  CreateInterfaceFn gameUI = FactoryOf(LoadLibraryA("valve\\cl_dlls\\GameUI.dll"));
  void* console = gameUI ? gameUI("GameConsole003", nullptr) : nullptr;
  ok(console != nullptr, "GameUI without an engine\n");
  if (console) Method<ActivateFn>(console, 1)(console);
}

// A phase that ends while a thread start is stuck behind the loader lock (as a plug-in
// holding it would leave one): the end waits a bounded while, then journals the stall so
// far. Args: the journal's path.
CHILD_MODE(phase_ends_behind_the_loader_lock) {
  if (!world::probe::Arm(L"absent.asi", scenario::Args().at(0), 0)) return;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto lock = reinterpret_cast<LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*)>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  auto unlock = reinterpret_cast<LONG(NTAPI*)(ULONG, ULONG_PTR)>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  ULONG_PTR cookie = 0;
  if (!lock || !unlock || lock(0, nullptr, &cookie) != 0) return;
  { world::probe::Phase held("held"); }
  unlock(0, cookie);
}

SCENARIO(probe_phase_end_is_bounded_behind_a_held_loader_lock) {
  const std::filesystem::path journal = scenario::StartDir() / (scenario::Name() + ".journal");
  const scenario::ChildResult child =
      scenario::RunChildMode("phase_ends_behind_the_loader_lock", {journal.string()}, 20000);
  ok(child.started && !child.timedOut && child.exitCode == 0, "exit 0x%lx, timed out %d\n", child.exitCode,
     child.timedOut);
  const std::string text = scenario::ReadFile(journal);
  double stall = -1;
  ok(sscanf(text.c_str(), "held longest-stall %lf", &stall) == 1 && stall >= 1000 && stall < 10000,
     "journal: %s\n", scenario::Escape(text).c_str());
}
