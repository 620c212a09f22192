// The build identity exports and the empty interface factory, called as the engine and
// the update check call them: before any start, in both flavours.
#include <cstring>

#include "../../flavours/build_numbers.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using IntFn = int(__cdecl*)();
using TextFn = char*(__cdecl*)();
using FactoryFn = void*(__cdecl*)(const char*, int*);

void CheckIdentity(const world::Options& options, int number, const char* numberText,
                   const char* versionText) {
  world::Game game(options);
  plugin_in_game::Loaded(game);
  auto getInt = game.Export<IntFn>("GetBuildInt");
  auto getStr = game.Export<TextFn>("GetBuildStr");
  auto getVersion = game.Export<TextFn>("GetBuildVersion");
  ok(getInt && getStr && getVersion, "build exports missing\n");
  if (!getInt || !getStr || !getVersion) return;
  ok(getInt() == number, "GetBuildInt gave %d, expected %d\n", getInt(), number);
  char* first = getStr();
  char* second = getStr();
  ok(first != second, "GetBuildStr returned the same block twice\n");
  ok_bytes(first, numberText);
  ok_bytes(second, numberText);
  ok_bytes(getVersion(), versionText);
  ok_bytes(game.Console(), "");  // nothing of this needs the start call
}

}  // namespace

SCENARIO(windows_7_build_identity_before_any_start) {
  CheckIdentity(world::Options(), MURMELON_BUILD_Murmelon_W_7_D,
                "Murmelon_Build_Num " MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_7_D),
                "Murmelon build: Aug 19 2013 11:21:48 (35)");
}

SCENARIO(windows_xp_build_identity_before_any_start) {
  world::Options options;
  options.flavour = "Murmelon_W_XP_D";
  CheckIdentity(options, MURMELON_BUILD_Murmelon_W_XP_D,
                "Murmelon_Build_Num " MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_XP_D),
                "Murmelon build: Aug 19 2013 11:22:57 (35)");
}

SCENARIO(build_texts_are_whole_without_the_engine_copy_function) {
  world::Options options;
  options.vstdlibPartial = true;  // no Q_strncpy
  CheckIdentity(options, MURMELON_BUILD_Murmelon_W_7_D,
                "Murmelon_Build_Num " MURMELON_TEXT(MURMELON_BUILD_Murmelon_W_7_D),
                "Murmelon build: Aug 19 2013 11:21:48 (35)");
}

SCENARIO(interface_factory_is_empty_and_reports_failure) {
  world::Game game;
  plugin_in_game::Loaded(game);
  auto factory = game.Export<FactoryFn>("CreateInterface");
  ok(factory != nullptr, "no CreateInterface export\n");
  if (!factory) return;
  int code = 12345;
  ok(factory("GameConsole003", &code) == nullptr, "an interface came back\n");
  ok(code == 1, "return code %d, expected 1\n", code);
  code = 12345;
  ok(factory("", &code) == nullptr && code == 1, "empty name: code %d\n", code);
  ok(factory("GameConsole003", nullptr) == nullptr, "an interface came back without a code\n");
}
