// world::Game: the game's part in one scenario.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine_api.h"
#include "plugin_threads.h"
#include "probe.h"
#include "world.h"

namespace world {

namespace fs = std::filesystem;

Game::Game(const Options& options) : options_(options) {
  folder_ = fs::current_path() / "games" / (options_.name.empty() ? DefaultGameName() : options_.name);
  MakeFolder();
  // The game runs in its own folder: relative paths such as "valve\cl_dlls\GameUI.dll"
  // resolve there, and so do the module names the plug-in loads.
  SetCurrentDirectoryW(folder_.wstring().c_str());
  SetDllDirectoryW(folder_.wstring().c_str());
  // Both the process environment and the C runtime's copy, whichever the plug-in reads.
  std::string host = options_.updateHost.empty() ? "127.0.0.1:9" : options_.updateHost;
  SetEnvironmentVariableA("MURMELON_UPDATE_HOST", host.c_str());
  _putenv(("MURMELON_UPDATE_HOST=" + host).c_str());
  LoadEngineModules();
}

Game::~Game() {
  // The plug-in stays loaded (modules live as long as the process); only its start is
  // undone, so that the process's exit is a regular one unless the scenario says not.
  if (plugin_ && options_.stopAtEnd) Stop();
}

fs::path Game::AsiInFolder() const { return folder_ / (options_.flavour + ".asi"); }

bool Game::PluginInFolder() const { return fs::exists(AsiInFolder()); }

namespace {

// Kept loaded for the process: the options live in the library, and the plug-in's own
// use of it (load, start, end, release) must find them there.
void AskForPublicSymbolsOnly() {
  constexpr DWORD kSymoptPublicsOnly = 0x4000;
  using OptionsFn = DWORD(__stdcall*)(DWORD);
  using GetOptionsFn = DWORD(__stdcall*)();
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  auto get = reinterpret_cast<GetOptionsFn>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymGetOptions")));
  auto set = reinterpret_cast<OptionsFn>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymSetOptions")));
  if (!get || !set) {
    fprintf(stderr, "world: no dbghelp symbol options\n");
    ExitProcess(2);
  }
  set(get() | kSymoptPublicsOnly);
}

// Reserves the address range the file asks to be loaded at (its ImageBase and
// SizeOfImage), for the rest of the process.
void TakePreferredBase(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  char head[0x400] = {};
  in.read(head, sizeof head);
  uint32_t ntHeader, base, size;
  std::memcpy(&ntHeader, head + 0x3C, 4);
  if (ntHeader > sizeof head - 0x60) return;
  std::memcpy(&base, head + ntHeader + 0x34, 4);  // OptionalHeader.ImageBase
  std::memcpy(&size, head + ntHeader + 0x50, 4);  // OptionalHeader.SizeOfImage
  if (!VirtualAlloc(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), size, MEM_RESERVE,
                    PAGE_NOACCESS)) {
    fprintf(stderr, "world: cannot reserve 0x%x bytes at 0x%x\n", size, base);
    ExitProcess(2);
  }
}

}  // namespace

bool Game::LoadPlugin() {
  if (plugin_) return true;
  if (options_.publicSymbolsOnly) AskForPublicSymbolsOnly();
  if (options_.pluginAway) TakePreferredBase(AsiInFolder());
  if (options_.loaderProbe &&
      !probe::Arm(AsiInFolder().filename().wstring(), ProbeJournalPath(), options_.slowResolverMs)) {
    fprintf(stderr, "world: no DLL load notifications for the probe\n");
    ExitProcess(2);
  }
  // The game has the system libraries the plug-in imports loaded long before it loads
  // its .asi files; loading them is not the plug-in's time.
  for (const char* system : {"user32.dll", "ws2_32.dll", "advapi32.dll"}) LoadLibraryA(system);
  probe::Phase phase("load");
  plugin_ = LoadLibraryA(AsiInFolder().string().c_str());
  if (plugin_) plugin_threads::Watch(plugin_);
  return plugin_ != nullptr;
}

int Game::CallRibMain(int upDown) {
  // The host's call: standard-call, five 32-bit arguments; the second starts (1) or
  // stops (0) the provider. The others are the host's provider handle and callbacks,
  // which the plug-in does not use.
  using RibMainFn = int(__stdcall*)(int provider, int upDown, int, int, int);
  auto ribMain = Export<RibMainFn>("_RIB_Main@20");
  if (!ribMain) return kNoEntry;
  return ribMain(0x4D535331 /* "MSS1" */, upDown, 0, 0, 0);
}

int Game::TimedStartCall() {
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  int result = CallRibMain(1);
  QueryPerformanceCounter(&end);
  lastStartCallMs_ = 1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) /
                     static_cast<double>(frequency.QuadPart);
  return result;
}

int Game::StartCall() {
  probe::Phase phase("start");
  return TimedStartCall();
}

int Game::Start() {
  probe::Phase phase("start");
  int result = TimedStartCall();
  if (result != kNoEntry) Settle();
  return result;
}

bool Game::Settle(DWORD timeoutMs) {
  const DWORD begin = GetTickCount();
  while (!plugin_threads::Settled()) {
    if (GetTickCount() - begin >= timeoutMs) {
      fprintf(stderr, "world: the plug-in's threads did not settle in %lu ms\n", timeoutMs);
      return false;
    }
    Sleep(5);
  }
  HudFrame(0.0);
  return true;
}
int Game::Stop() {
  probe::Phase phase("stop");
  return CallRibMain(0);
}

bool Game::Unload() {
  if (!plugin_) return false;
  probe::Phase phase("unload");
  bool freed = FreeLibrary(plugin_) != 0;
  plugin_ = nullptr;
  return freed;
}

HMODULE Game::Module(const char* name) const { return GetModuleHandleA(name); }

// Everything below drives or reads the engine; without one it does nothing.
void Game::VoiceInit(const std::string& codec, int quality) {
  if (api_) api_->World_ParseVoiceInit(codec.c_str(), quality);
}
void Game::HudFrame(double time) {
  if (api_) api_->World_HudFrame(time);
}
void Game::Command(const std::string& line) {
  if (api_) api_->World_RunCommand(line.c_str());
}
bool Game::Set(const std::string& name, const std::string& value) {
  return api_ && api_->World_SetSetting(name.c_str(), value.c_str()) != 0;
}
void Game::SetClientState(int state) {
  if (api_) api_->World_SetClientState(state);
}
void Game::SetVoiceInitResult(int result) {
  if (api_) api_->World_SetVoiceInitResult(result);
}

std::string Game::Console() const { return api_ ? api_->World_Console() : ""; }

std::string Game::ProbeJournal() const {
  std::ifstream in(ProbeJournalPath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::string Game::Journal() const { return api_ ? api_->World_Journal() : ""; }

std::vector<std::string> Game::JournalLines() const {
  std::vector<std::string> lines;
  std::istringstream in(Journal());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void Game::ClearRecords() {
  if (api_) api_->World_ClearRecords();
}
float Game::Setting(const std::string& name) const {
  return api_ ? api_->World_SettingValue(name.c_str()) : -12345.0f;
}
std::string Game::SettingText(const std::string& name) const {
  const char* text = api_ ? api_->World_SettingString(name.c_str()) : nullptr;
  return text ? text : "";
}
const void* Game::SettingRecord(const std::string& name) const {
  return api_ ? api_->World_SettingRecord(name.c_str()) : nullptr;
}
bool Game::HasCommand(const std::string& name) const {
  return api_ && api_->World_HasCommand(name.c_str()) != 0;
}
double Game::LastHudFrame() const { return api_ ? api_->World_LastHudFrame() : 0.0; }
int Game::HudFrameCount() const { return api_ ? api_->World_HudFrameCount() : 0; }
int Game::MessageFieldsRead() const { return api_ ? api_->World_MessageFieldsRead() : 0; }
WorldVoiceInitCall Game::LastVoiceInit() const {
  WorldVoiceInitCall call{};
  if (api_) api_->World_LastVoiceInit(&call);
  return call;
}
uintptr_t Game::EngineBase() const { return api_ ? api_->World_EngineBase() : 0; }
uintptr_t Game::EngineAddress(const char* what) const {
  return api_ ? api_->World_EngineAddress(what) : 0;
}
uintptr_t Game::RealRoutine(const char* what) const {
  return api_ ? api_->World_RealRoutine(what) : 0;
}

}  // namespace world
