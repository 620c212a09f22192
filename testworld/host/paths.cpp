// Where the build put the world's pieces, relative to the running exe.
#include <windows.h>

#include "world.h"

namespace world {

std::filesystem::path ExeDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, n)).parent_path();
}

// Kept out of the exe's own directory: the loader searches there first, so a module
// that a scenario leaves out would otherwise still be found.
std::filesystem::path ModulesDir() { return ExeDir() / "world"; }

std::filesystem::path DistDir() { return ExeDir().parent_path() / "dist"; }

std::filesystem::path AsiPath(const std::string& flavour) { return DistDir() / (flavour + ".asi"); }

namespace {
std::string& GameName() {
  static std::string name = "game";
  return name;
}
}  // namespace

void SetDefaultGameName(const std::string& name) { GameName() = name; }
const std::string& DefaultGameName() { return GameName(); }

}  // namespace world
