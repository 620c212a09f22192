// Engine build recognition and interface binding, seen from outside: the build number
// and the interface pointers that the plug-in records, and the path it takes.
#include "core_report.h"
#include "core_texts.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using core_report::Field;
using core_report::Hex;
using core_report::Interface;

using plugin_in_game::Loaded;

// The build number the plug-in recorded after a start on a supported build.
std::string RecordedBuild(const world::Options& options) {
  world::Game game(options);
  Loaded(game);
  return Field(core_report::StartAndUnload(game), "Version");
}

void CheckUnsupported(const world::Options& options) {
  world::Game game(options);
  Loaded(game).Start();
  std::string console = game.Console();
  ok(console.find(core_texts::kUnsupported) != std::string::npos,
     "no unsupported-build message in \"%s\"\n", scenario::Escape(console).c_str());
}

}  // namespace

SCENARIO(build_6027_is_recognised_at_its_offset) {
  world::Options options;
  ok_bytes(RecordedBuild(options), "6027");
}

SCENARIO(build_6132_is_recognised_without_reading_probe_4) {
  world::Options options;
  options.build = 6132;
  options.guardProbe4 = true;  // a read of probe 4 faults
  ok_bytes(RecordedBuild(options), "6132");
}

SCENARIO(probe_text_with_characters_in_front_still_matches) {
  world::Options options;
  options.build = 6132;
  options.probe = kProbePrefixed;
  ok_bytes(RecordedBuild(options), "6132");
}

SCENARIO(probe_ignores_letter_case_with_the_engine_string_library) {
  world::Options options;
  options.probe = kProbeOtherCase;
  ok_bytes(RecordedBuild(options), "6027");
}

SCENARIO(probe_is_case_sensitive_without_the_engine_string_library) {
  world::Options options;
  options.probe = kProbeOtherCase;
  options.vstdlib = false;
  CheckUnsupported(options);
}

SCENARIO(engine_smaller_than_a_probe_offset_is_not_read_outside_its_image) {
  world::Options options;
  options.smallEngine = true;  // the pages past its image fault when touched
  CheckUnsupported(options);
}

SCENARIO(each_interface_pointer_is_what_its_factory_returned) {
  world::Game game;
  Loaded(game);
  std::string log = core_report::StartAndUnload(game);
  for (const core_report::InterfaceField& field : core_report::kInterfaceFields) {
    scenario::Context row("%s", field.key);
    ok_bytes(Field(log, field.key), Hex(Interface(field.module, field.version)));
  }
  ok(Field(log, "*V_Int") != "0", "the world handed out no VGUI_InputInternal001\n");
}

SCENARIO(module_without_factory_leaves_only_its_own_pointers_null) {
  world::Options options;
  options.vgui2Factory = false;
  world::Game game(options);
  Loaded(game);
  std::string log = core_report::StartAndUnload(game);
  for (const char* key : {"*V_Local", "*V_Sys", "*V_Inp", "*V_Int"}) ok_bytes(Field(log, key), "0");
  ok_bytes(Field(log, "*G_Console"), Hex(Interface("GameUI.dll", "GameConsole003")));
  ok_bytes(Field(log, "*B_UI"), Hex(Interface("hw.dll", "BaseUI001")));
}

SCENARIO(without_the_game_console_nothing_is_printed_and_start_up_goes_on) {
  world::Options options;
  options.gameui = false;
  world::Game game(options);
  Loaded(game);
  ok(game.Start() == 1, "start did not return 1\n");
  ok_bytes(game.Console(), "");
  ok(game.HasCommand("+steamvoice"), "start-up stopped without the game console\n");
  ok(game.Setting("voice_useold") == 1.0f, "voice settings missing\n");
}
