// The host side of the test world: plays the game's part for one scenario. It makes a
// fresh game folder, puts the fake engine modules and the plug-in into it, loads the
// engine the way the game would, and calls the plug-in the way the sound-system host
// does. One Game per process (the engine modules stay loaded for the process's life).
#pragma once

#include <windows.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../engine_records.h"  // CaptureFormat, Jump
#include "../world_api.h"  // WorldProbeStyle, WorldVoiceInitCall (no engine import needed)

namespace world {

struct Options {
  int build = 6027;                    // engine build the world pretends to be
  WorldProbeStyle probe = kProbeExact; // how the build-date text is laid out
  bool engine = true;                  // hw.dll present
  bool smallEngine = false;            // hw.dll is hw_small.dll (image below probe 1)
  bool vstdlib = true;                 // vstdlib.dll present
  bool vstdlibPartial = false;         // ... without Q_UnicodeToUTF8, Q_strncpy, Q_MakeAbsolutePath
  bool gameui = true;                  // valve\cl_dlls\GameUI.dll present
  bool vgui2 = true;                   // vgui2.dll present
  bool vgui2Factory = true;            // ... with its "CreateInterface"
  bool tier0 = true;                   // tier0.dll present
  bool tier0Export = true;             // ... with its "WriteMiniDump"
  bool guardProbe4 = false;            // reading probe 4 faults
  int voiceInitResult = 1;             // what the engine's voice initialisation returns
  const char* refusedSetting = "";     // the engine registers no setting of this name
  int clientState = 5;                 // the client state word (5 = connected, active)
  std::string flavour = "Murmelon_W_7_D";  // which .asi of dist/ goes into the game folder
  std::string updateHost;              // MURMELON_UPDATE_HOST; empty -> "127.0.0.1:9"
  std::string name;                    // game folder name; empty -> DefaultGameName()
  bool keepFolder = false;             // a later start of the same game: the folder stays
                                       // as the last process left it, the plug-in and the
                                       // fake modules included; only missing ones are copied
  bool stopAtEnd = true;               // the host stops the plug-in when the Game ends, as
                                       // the game does at a regular exit; false plays an
                                       // abnormal end (the plug-in is still started at exit)
  bool publicSymbolsOnly = false;      // before the plug-in loads, the process's symbol
                                       // handler is told to read export tables only
                                       // (SYMOPT_PUBLICS_ONLY): Windows' dbghelp, which reads
                                       // no DWARF, answers like that for the plug-in
  bool pluginAway = false;             // the plug-in's preferred base is taken before it
                                       // loads, so it is loaded elsewhere
  bool loaderProbe = false;            // the loader-lock probe (probe.h) watches the
                                       // plug-in from before its load; its journal is
                                       // ProbeJournal()
  DWORD slowResolverMs = 0;            // with the probe: every name lookup takes this long
};

// The default options on engine build `build`.
inline Options ForBuild(int build) {
  Options options;
  options.build = build;
  return options;
}

// Where the build put things: exes in bin/, fake modules in bin/world/, the plug-ins
// in dist/ (next to bin/).
std::filesystem::path ExeDir();
std::filesystem::path ModulesDir();
std::filesystem::path DistDir();
std::filesystem::path AsiPath(const std::string& flavour);

// The game folder name used when Options::name is empty (the scenario framework sets
// it to the scenario's name; otherwise "game").
void SetDefaultGameName(const std::string& name);
const std::string& DefaultGameName();

// Rewrites `module`'s import address table entry for dll!function (names compared
// without letter case for the DLL). Returns the previous pointer, or null when the
// module does not import that function.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

class Game {
 public:
  static constexpr int kNoEntry = INT_MIN;  // Start/Stop without a loaded "_RIB_Main@20"

  explicit Game(const Options& options = Options());
  ~Game();
  Game(const Game&) = delete;
  Game& operator=(const Game&) = delete;

  // The plug-in, as the sound-system host handles it.
  bool PluginInFolder() const;  // the flavour's .asi was built and copied
  bool LoadPlugin();            // LoadLibraryA of the game folder's .asi
  // _RIB_Main@20(provider, 1, ...), then Settle(): what the start's update check says
  // is in the console when it returns, on supported builds.
  int Start();
  int StartCall();              // _RIB_Main@20(provider, 1, ...) alone
  double LastStartCallMs() const { return lastStartCallMs_; }
  // Waits until every thread the plug-in started has ended or is parked (at most
  // timeoutMs), then plays one engine frame, where the plug-in shows on the game's
  // thread what its workers said. False when they did not settle in time.
  bool Settle(DWORD timeoutMs = kSettleMs);
  static constexpr DWORD kSettleMs = 150000;  // beyond the update check's 120 s bound
  int Stop();                   // _RIB_Main@20(provider, 0, ...)
  bool Unload();                // FreeLibrary
  HMODULE Plugin() const { return plugin_; }
  template <typename F>
  F Export(const char* name) const {
    return plugin_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(plugin_, name)))
                   : nullptr;
  }
  void* ReplaceImport(const char* dll, const char* function, void* replacement) {
    return plugin_ ? world::ReplaceImport(plugin_, dll, function, replacement) : nullptr;
  }

  // The game plays.
  void VoiceInit(const std::string& codec, int quality);  // a server voice-init message
  void HudFrame(double time);
  void Command(const std::string& line);                  // the player types a line
  bool Set(const std::string& name, const std::string& value);
  void SetClientState(int state);
  void SetVoiceInitResult(int result);

  // Read-back.
  std::string Console() const;
  std::string ProbeJournal() const;  // the probe's journal file, "" without the probe
  std::string Journal() const;
  std::vector<std::string> JournalLines() const;
  void ClearRecords();
  float Setting(const std::string& name) const;  // -12345 when missing
  std::string SettingText(const std::string& name) const;
  const void* SettingRecord(const std::string& name) const;  // the engine's record, or null
  bool HasCommand(const std::string& name) const;
  double LastHudFrame() const;
  int HudFrameCount() const;
  int MessageFieldsRead() const;
  WorldVoiceInitCall LastVoiceInit() const;
  uintptr_t EngineBase() const;
  uintptr_t EngineAddress(const char* what) const;
  uintptr_t RealRoutine(const char* what) const;

  // Places.
  const Options& options() const { return options_; }
  const std::filesystem::path& Folder() const { return folder_; }
  std::filesystem::path AsiInFolder() const;
  std::filesystem::path ProbeJournalPath() const { return folder_ / "probe.journal"; }
  HMODULE Engine() const { return engine_; }
  HMODULE Module(const char* name) const;  // a loaded fake module by file name, or null

 private:
  void MakeFolder();
  void LoadEngineModules();
  int CallRibMain(int upDown);
  int TimedStartCall();

  Options options_;
  std::filesystem::path folder_;
  HMODULE engine_ = nullptr;
  HMODULE plugin_ = nullptr;
  struct EngineApi* api_ = nullptr;
  double lastStartCallMs_ = -1;
};

}  // namespace world
