// Building the scenario's game folder and loading the engine's modules from it.
#include <cstdio>
#include <cstdlib>

#include "engine_api.h"
#include "world.h"

namespace world {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fatal(const std::string& what) {
  fprintf(stderr, "world: %s\n", what.c_str());
  fflush(stderr);
  ExitProcess(2);
}

// A fake module as the game folder holds it: which built file, under which name.
struct ModuleCopy {
  bool present;
  const char* builtFile;  // in ModulesDir()
  const char* gameFile;   // relative to the game folder
};

std::vector<ModuleCopy> ModuleCopies(const Options& o) {
  // In the order the game has them loaded when the sound-system host starts the plug-in.
  return {
      {o.tier0, o.tier0Export ? "tier0.dll" : "tier0_noexport.dll", "tier0.dll"},
      {o.vstdlib, o.vstdlibPartial ? "vstdlib_partial.dll" : "vstdlib.dll", "vstdlib.dll"},
      {o.engine, o.smallEngine ? "hw_small.dll" : "hw.dll", "hw.dll"},
      {o.vgui2, o.vgui2Factory ? "vgui2.dll" : "vgui2_nofactory.dll", "vgui2.dll"},
      {o.gameui, "GameUI.dll", "valve\\cl_dlls\\GameUI.dll"},
  };
}

void Copy(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  if (error) Fatal("cannot copy " + from.string() + " to " + to.string() + ": " + error.message());
}

}  // namespace

void Game::MakeFolder() {
  std::error_code error;
  // A fresh folder, nothing left from an earlier run, unless this is a later start.
  if (!options_.keepFolder) fs::remove_all(folder_, error);
  if (error) Fatal("cannot wipe " + folder_.string() + ": " + error.message());
  fs::create_directories(folder_ / "valve" / "cl_dlls", error);
  if (error) Fatal("cannot create " + folder_.string() + ": " + error.message());

  // A later start finds what the last one left (the fake modules are the same build).
  auto kept = [&](const fs::path& file) { return options_.keepFolder && fs::exists(file); };
  for (const ModuleCopy& module : ModuleCopies(options_))
    if (module.present && !kept(folder_ / module.gameFile))
      Copy(ModulesDir() / module.builtFile, folder_ / module.gameFile);
  if (fs::exists(AsiPath(options_.flavour)) && !kept(AsiInFolder())) Copy(AsiPath(options_.flavour), AsiInFolder());
}

void Game::LoadEngineModules() {
  for (const ModuleCopy& module : ModuleCopies(options_)) {
    if (!module.present) continue;
    fs::path path = folder_ / module.gameFile;
    HMODULE handle = LoadLibraryW(path.wstring().c_str());
    if (!handle) Fatal("cannot load " + path.string() + " (error " + std::to_string(GetLastError()) + ")");
    if (std::string(module.gameFile) == "hw.dll") engine_ = handle;
  }
  if (!engine_) return;
  api_ = new EngineApi;
  if (const char* missing = api_->Bind(engine_)) Fatal(std::string("hw.dll lacks ") + missing);
  WorldSetup setup{options_.build, options_.probe, options_.guardProbe4 ? 1 : 0,
                   options_.voiceInitResult, options_.clientState, {}};
  snprintf(setup.refusedSetting, sizeof setup.refusedSetting, "%s", options_.refusedSetting);
  api_->World_Prepare(&setup);
}

}  // namespace world
