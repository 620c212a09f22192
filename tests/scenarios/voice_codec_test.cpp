// The voice-init hook, the codec switches and the voice commands against the engine's
// layout: what the engine's voice initialisation saw, what was printed, what the
// capture format, codec slot and voice word hold afterwards.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using plugin_in_game::CaptureFormat;

const char kFailure[] = "[Murmel]:Возникла какая-то ошибка при инициализации кодека\n";
const char kRecordStart[] = "slot20 +voicerecord\nengine: voice record start\n";
const char kRecordStop[] = "slot20 -voicerecord\nengine: voice record stop\n";

// Started, with the start-up's own records cleared: the checks see only what follows.
std::unique_ptr<world::Game> QuietlyStartedGame(int build, scenario::Where at = SCENARIO_CALLER) {
  auto game = plugin_in_game::StartedGame(build, at);
  game->ClearRecords();
  return game;
}

CaptureFormat& Format(const world::Game& game) {
  return *reinterpret_cast<CaptureFormat*>(game.EngineAddress("VoiceFormat"));
}
// Rates no setting has, so a write by the plug-in always shows.
void MarkFormat(const world::Game& game) {
  Format(game).samplesPerSec = 1111;
  Format(game).avgBytesPerSec = 2222;
}
int32_t VoiceWord(const world::Game& game) {
  return *reinterpret_cast<const int32_t*>(game.EngineAddress("VoiceWord"));
}
uintptr_t CodecSlot(const world::Game& game) {
  return *reinterpret_cast<const uintptr_t*>(game.EngineAddress("CodecSlot"));
}

// The journal line of one call of the engine's voice initialisation. With the engine's
// own function in the codec slot it sets up Steam voice, otherwise the named codec.
std::string VoiceInitLine(const std::string& codec, int quality, bool slotIsEngine,
                          unsigned rate, unsigned bytes, int result) {
  return "engine: VoiceInit \"" + codec + "\" " + std::to_string(quality) +
         " slot=" + (slotIsEngine ? "engine -> Steam voice" : "other -> codec \"" + codec + "\"") +
         ", rate " + std::to_string(rate) + ", bytes " + std::to_string(bytes) +
         ", result " + std::to_string(result) + "\n";
}
const char kMessageRead[] = "engine: voice init message: read 2 of 2 fields\n";

// The console and journal since the last look are exactly these; then both are emptied.
void Records(world::Game& game, const std::string& console, const std::string& journal,
             scenario::Where at = SCENARIO_CALLER) {
  ok_bytes_at(at, game.Console(), console);
  ok_bytes_at(at, game.Journal(), journal);
  game.ClearRecords();
}

void NamedCodecMessage(int build) {
  auto game = QuietlyStartedGame(build);
  MarkFormat(*game);
  const uintptr_t engineSlot = game->RealRoutine("CodecFunction");
  game->VoiceInit("voice_speex", 3);
  // During the call: our slot function (the engine chose the codec) and the server rates.
  ok_bytes(game->Console(), "VoiceInit: voice_speex 3\n");
  ok_bytes(game->Journal(), "slot41 VoiceInit: voice_speex 3\n" +
                                VoiceInitLine("voice_speex", 3, false, 8000, 16000, 1) +
                                kMessageRead);
  ok(VoiceWord(*game) == 0, "voice word is %d after the call, expected 0\n", VoiceWord(*game));
  ok(CodecSlot(*game) == engineSlot, "codec slot holds %08x, expected the engine's %08x\n",
     static_cast<unsigned>(CodecSlot(*game)), static_cast<unsigned>(engineSlot));
  const CaptureFormat& format = Format(*game);
  ok(format.formatTag == 1 && format.channels == 1 && format.blockAlign == 2 &&
         format.bitsPerSample == 16 && format.extraSize == 0,
     "fields other than the rates were changed\n");
}

}  // namespace

SCENARIO(named_codec_message_6027) { NamedCodecMessage(6027); }
SCENARIO(named_codec_message_6132) { NamedCodecMessage(6132); }

// The server uses Steam voice: the engine initialises it with the slot intact; we print
// nothing and leave the format alone, and both switches then have nothing to do.
SCENARIO(empty_codec_message) {
  auto game = QuietlyStartedGame(6132);
  MarkFormat(*game);
  game->VoiceInit("", 7);
  Records(*game, "", VoiceInitLine("", 7, true, 1111, 2222, 1) + kMessageRead);
  ok(Format(*game).samplesPerSec == 1111 && Format(*game).avgBytesPerSec == 2222,
     "capture format written: %u %u\n", Format(*game).samplesPerSec, Format(*game).avgBytesPerSec);
  ok(VoiceWord(*game) == 1, "voice word cleared after Steam voice\n");
  ok(CodecSlot(*game) == game->RealRoutine("CodecFunction"), "codec slot changed\n");
  game->Command("+steamvoice");
  game->Command("+servervoice");
  Records(*game, "", std::string(kRecordStart) + kRecordStart);
}

// voice_useold 0: the engine's handler reads the message, after the Steam rates went
// in; the hook is back afterwards and the codec state is what it was.
SCENARIO(useold_zero_hands_message_to_engine) {
  auto game = QuietlyStartedGame(6132);
  game->VoiceInit("voice_speex", 3);
  game->Command("+steamvoice");  // named codec announced, player on Steam voice
  ok(game->Set("voice_useold", "0"), "no voice_useold setting\n");
  MarkFormat(*game);
  game->ClearRecords();
  game->VoiceInit("", 5);
  Records(*game, "",
          "engine: CL_Parse_VoiceInit read \"\" 5\n" + VoiceInitLine("", 5, true, 11025, 22050, 1) +
              kMessageRead);
  const uint8_t* entry = reinterpret_cast<const uint8_t*>(game->EngineAddress("VoiceInitHandler"));
  ok(entry[0] == 0xE9, "the hook is not back\n");

  // Had the empty name been taken as the server's choice, this would do nothing.
  game->Command("+servervoice");
  Records(*game, "VoiceInitServer: Using voice_speex\n",
          "slot40 VoiceInitServer: Using voice_speex\n" +
              VoiceInitLine("voice_speex", 3, false, 8000, 16000, 1) + kRecordStart);

  ok(game->Set("voice_useold", "1"), "no voice_useold setting\n");
  game->VoiceInit("voice_celt", 4);
  ok_bytes(game->Console(), "VoiceInit: voice_celt 4\n");
}

// Without a voice_useold record from the engine our handler reads the messages, as with "1".
SCENARIO(missing_useold_record_keeps_our_handler) {
  world::Options options = world::ForBuild(6132);
  options.refusedSetting = "voice_useold";
  auto game = plugin_in_game::StartedGame(options);
  ok(game->Setting("voice_useold") == -12345.0f, "voice_useold registered\n");
  game->ClearRecords();
  game->VoiceInit("voice_celt", 4);
  ok_bytes(game->Console(), "VoiceInit: voice_celt 4\n");
}

// Our copy of the codec name holds 59 bytes and a terminator; the message's own name
// reaches the print and the engine whole.
SCENARIO(long_codec_name_is_cut_in_our_copy) {
  auto game = QuietlyStartedGame(6027);
  for (size_t length : {59u, 60u, 300u}) {
    scenario::Context row("name of %u bytes", static_cast<unsigned>(length));
    std::string name;
    for (size_t i = 0; i < length; ++i) name += static_cast<char>('a' + i % 26);
    const std::string kept = name.substr(0, 59);
    game->VoiceInit(name, 2);
    ok_bytes(game->Console(), "VoiceInit: " + name + " 2\n");
    ok(game->Journal().find(VoiceInitLine(name, 2, false, 8000, 16000, 1)) != std::string::npos,
       "the engine did not get the whole name\n");
    game->Command("+steamvoice");
    game->ClearRecords();
    game->Command("+servervoice");
    ok_bytes(game->Console(), "VoiceInitServer: Using " + kept + "\n");
    ok(game->LastVoiceInit().quality == 2, "quality %d, expected 2\n", game->LastVoiceInit().quality);
    game->ClearRecords();
  }
}

// Before any message named a codec, and again after a new start, the server-codec
// switch initialises with an empty name and quality 0, never with stale bytes.
SCENARIO(server_switch_without_named_codec) {
  auto game = QuietlyStartedGame(6027);
  game->Command("+steamvoice");
  game->ClearRecords();
  game->Command("+servervoice");
  Records(*game, "VoiceInitServer: Using \n",
          "slot40 VoiceInitServer: Using \n" + VoiceInitLine("", 0, false, 8000, 16000, 1) +
              kRecordStart);

  game->VoiceInit("voice_speex", 3);
  ok(game->Stop() == 1 && game->Start() == 1, "stop and start did not answer 1\n");
  game->Command("+steamvoice");
  game->ClearRecords();
  game->Command("+servervoice");
  ok_bytes(game->Console(), "VoiceInitServer: Using \n");
  ok(game->LastVoiceInit().quality == 0, "quality %d after a new start, expected 0\n",
     game->LastVoiceInit().quality);
}

// "+steamvoice": a failure is reported and tried again; once Steam voice is active the
// switch does nothing, also while a later switch has failed.
SCENARIO(steam_switch_failure_and_retry) {
  auto game = QuietlyStartedGame(6027);
  game->SetVoiceInitResult(0);
  const std::string steamFailed = "slot41 VoiceInitSteam: Using Steam Voice\n" +
                                  VoiceInitLine("", 1, true, 11025, 22050, 0) + kRecordStart;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    scenario::Context row("failing attempt %d", attempt);
    game->Command("+steamvoice");
    Records(*game, std::string("VoiceInitSteam: Using Steam Voice\n") + kFailure, steamFailed);
  }
  game->SetVoiceInitResult(1);
  game->Command("+steamvoice");
  Records(*game, "VoiceInitSteam: Using Steam Voice\n",
          "slot41 VoiceInitSteam: Using Steam Voice\n" +
              VoiceInitLine("", 1, true, 11025, 22050, 1) + kRecordStart);
  game->Command("+steamvoice");
  Records(*game, "", kRecordStart);

  // Steam voice active, then a failed server switch: "+steamvoice" still stands still.
  game->VoiceInit("voice_speex", 3);
  game->Command("+steamvoice");
  game->SetVoiceInitResult(0);
  game->ClearRecords();
  game->Command("+servervoice");
  ok_bytes(game->Console(), std::string("VoiceInitServer: Using voice_speex\n") + kFailure);
  game->ClearRecords();
  game->Command("+steamvoice");
  Records(*game, "", kRecordStart);
}

// "+servervoice" with a named codec: nothing while that codec works, the codec after
// Steam voice or a failure, with the slot swapped only around the call.
SCENARIO(server_switch_to_named_codec) {
  auto game = QuietlyStartedGame(6132);
  game->VoiceInit("voice_speex", 3);
  game->ClearRecords();
  game->Command("+servervoice");
  Records(*game, "", kRecordStart);

  game->Command("+steamvoice");
  game->SetVoiceInitResult(0);
  game->ClearRecords();
  const std::string serverCall = "slot40 VoiceInitServer: Using voice_speex\n" +
                                 VoiceInitLine("voice_speex", 3, false, 8000, 16000, 0) + kRecordStart;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    scenario::Context row("failing attempt %d", attempt);
    game->Command("+servervoice");
    Records(*game, std::string("VoiceInitServer: Using voice_speex\n") + kFailure, serverCall);
  }
  game->SetVoiceInitResult(1);
  game->Command("+servervoice");
  Records(*game, "VoiceInitServer: Using voice_speex\n",
          "slot40 VoiceInitServer: Using voice_speex\n" +
              VoiceInitLine("voice_speex", 3, false, 8000, 16000, 1) + kRecordStart);
  ok(CodecSlot(*game) == game->RealRoutine("CodecFunction"), "codec slot not restored\n");
  ok(VoiceWord(*game) == 1, "the switch cleared the voice word\n");
  game->Command("+servervoice");
  Records(*game, "", kRecordStart);
}

// "+servervoice" when the server uses Steam voice: nothing while Steam voice works,
// Steam voice again after a failure.
SCENARIO(server_switch_to_steam_voice) {
  auto game = QuietlyStartedGame(6027);
  game->SetVoiceInitResult(0);
  game->Command("+steamvoice");  // fails: the failed flag is set
  game->SetVoiceInitResult(1);
  game->VoiceInit("", 4);        // server uses Steam voice, Steam voice active
  game->ClearRecords();
  game->Command("+steamvoice");
  Records(*game, "", kRecordStart);
  game->Command("+servervoice");
  Records(*game, "VoiceInitServer: Using Steam Voice\n",
          "slot41 VoiceInitServer: Using Steam Voice\n" +
              VoiceInitLine("", 1, true, 11025, 22050, 1) + kRecordStart);
  game->Command("+servervoice");
  Records(*game, "", kRecordStart);
}

// Outside a game the switches do nothing, yet the keys still start and stop recording.
SCENARIO(switches_outside_game_only_record) {
  auto game = QuietlyStartedGame(6132);
  game->VoiceInit("voice_speex", 3);
  game->Command("+steamvoice");
  game->SetVoiceInitResult(0);
  game->Command("+servervoice");  // failed: the next server switch would try again
  game->SetVoiceInitResult(1);
  for (int state : {0, 4, 6}) {
    scenario::Context row("client state %d", state);
    game->SetClientState(state);
    game->ClearRecords();
    game->Command("+steamvoice");
    game->Command("-steamvoice");
    game->Command("+servervoice");
    game->Command("-servervoice");
    Records(*game, "", std::string(kRecordStart) + kRecordStop + kRecordStart + kRecordStop);
  }
  game->SetClientState(5);
  game->Command("+servervoice");
  ok_bytes(game->Console(), "VoiceInitServer: Using voice_speex\n");
}

// "VoiceInit <codec> <quality>" works in any client state, prints nothing and changes
// neither the capture format nor the codec state.
SCENARIO(voice_init_command) {
  auto game = QuietlyStartedGame(6027);
  game->VoiceInit("voice_speex", 3);
  game->SetClientState(0);
  MarkFormat(*game);
  game->ClearRecords();
  game->Command("VoiceInit voice_celt high");
  game->Command("VoiceInit voice_celt 7");
  game->Command("VoiceInit");
  Records(*game, "",
          VoiceInitLine("voice_celt", 0, false, 1111, 2222, 1) +
              VoiceInitLine("voice_celt", 7, false, 1111, 2222, 1) +
              VoiceInitLine("", 0, false, 1111, 2222, 1));
  ok(CodecSlot(*game) == game->RealRoutine("CodecFunction"), "codec slot not restored\n");

  game->SetClientState(5);
  game->Command("+servervoice");  // still on the announced codec: nothing to do
  game->Command("+steamvoice");
  game->ClearRecords();
  game->Command("+servervoice");
  ok_bytes(game->Console(), "VoiceInitServer: Using voice_speex\n");
}

// The five voice settings and the run report's, registered in order; the voice ones
// read at each initialisation.
SCENARIO(voice_settings) {
  world::Game game(world::ForBuild(6132));
  plugin_in_game::Started(game);
  std::string registered;
  for (const std::string& line : game.JournalLines())
    if (line.rfind("slot14 ", 0) == 0) registered += line + "\n";
  ok_bytes(registered,
           "slot14 voice_useold \"1\" 16\n"
           "slot14 voice_SamplesPerSec_Steam \"11025\" 128\n"
           "slot14 voice_AvgBytesPerSec_Steam \"22050\" 128\n"
           "slot14 voice_SamplesPerSec \"8000\" 128\n"
           "slot14 voice_AvgBytesPerSec \"16000\" 128\n"
           "slot14 murmelon_report_runs \"1\" 128\n");

  ok(game.Set("voice_SamplesPerSec", "22050") && game.Set("voice_AvgBytesPerSec", "44100.7"),
     "server rate settings missing\n");
  game.ClearRecords();
  game.VoiceInit("voice_speex", 3);
  ok(game.LastVoiceInit().samplesPerSec == 22050 && game.LastVoiceInit().avgBytesPerSec == 44100,
     "server rates %u %u, expected 22050 44100\n", game.LastVoiceInit().samplesPerSec,
     game.LastVoiceInit().avgBytesPerSec);

  // A value past the 32-bit range stops at its end instead of turning into garbage.
  ok(game.Set("voice_SamplesPerSec_Steam", "11025.9") &&
         game.Set("voice_AvgBytesPerSec_Steam", "1e12"),
     "Steam rate settings missing\n");
  game.Command("+steamvoice");
  ok(game.LastVoiceInit().samplesPerSec == 11025 &&
         game.LastVoiceInit().avgBytesPerSec == 2147483647u,
     "Steam rates %u %u, expected 11025 2147483647\n", game.LastVoiceInit().samplesPerSec,
     game.LastVoiceInit().avgBytesPerSec);
}
