// The console as the player reads it: prefixed Russian messages in UTF-8, in both
// flavours, with and without the engine's own conversion and formatting functions.
#include "core_texts.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using namespace core_texts;

void CheckStartConsole(const world::Options& options, const std::string& platform) {
  world::Game game(options);
  plugin_in_game::Loaded(game);
  game.Start();
  ok_bytes(game.Console(), About(platform) + kUpdateUnreachable);
}

}  // namespace

SCENARIO(about_text_names_the_windows_7_platform) {
  CheckStartConsole(world::Options(), "(WIN_7)");
}

SCENARIO(about_text_names_the_windows_xp_platform) {
  world::Options options;
  options.flavour = "Murmelon_W_XP_D";
  CheckStartConsole(options, "(WIN_XP)");
}

SCENARIO(console_text_is_the_same_without_the_engine_utf8_conversion) {
  world::Options options;
  options.vstdlibPartial = true;  // no Q_UnicodeToUTF8
  CheckStartConsole(options, "(WIN_7)");
}

SCENARIO(console_text_is_the_same_without_the_engine_string_library) {
  world::Options options;
  options.vstdlib = false;
  CheckStartConsole(options, "(WIN_7)");
}
