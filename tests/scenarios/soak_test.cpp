// A long game session: thousands of voice-init messages and switch commands, with
// hundreds of HUD_Frame calls between them and the settings changed along the way.
// A fault that shows only after many patch and restore cycles (a call-through that
// saves the jump as the original bytes, a codec slot left swapped, a capture format
// written for the wrong path, a stray write into the function table) ends up in the
// engine's bytes, which are checked at the end against what the session must leave.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using plugin_in_game::CaptureFormat;

// A fixed generator: a failing run repeats exactly.
struct Random {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

struct Rates {
  uint32_t samples = 0, bytes = 0;
};

// The codec flags and settings as the session must have left them, followed event by
// event; only the rates of the last initialisation that wrote them are compared.
struct Model {
  bool serverSteam = false, steamActive = false, failed = false;
  bool useOld = true;
  int clientState = 5;
  int voiceResult = 1;
  Rates steam{11025, 22050}, server{8000, 16000};
  Rates format;          // what the capture format must hold
  std::string lastNamed;  // the last named codec, as the plug-in keeps it (59 bytes at most)
};

struct Counts {
  int messages = 0, named = 0, empty = 0, longNames = 0, engineHandler = 0;
  int commands = 0, switches = 0, hudFrames = 0, settings = 0, initCalls = 0;
};

uint8_t* At(uintptr_t address) { return reinterpret_cast<uint8_t*>(address); }

class Soak {
 public:
  Soak(int build, uint32_t seed) : random_{seed} {
    game_ = plugin_in_game::StartedGame(build);
    for (const char* entry : {"VoiceInitHandler", "HudFrame"})
      std::memcpy(hooked_[Index(entry)], At(game_->EngineAddress(entry)), 5);
    formatAt_ = game_->EngineAddress("VoiceFormat");
    std::memcpy(&initialFormat_, At(formatAt_), sizeof initialFormat_);
    model_.format = {initialFormat_.samplesPerSec, initialFormat_.avgBytesPerSec};
    game_->ClearRecords();
  }

  void Run(int messages) {
    // A named codec first, so a server switch always has a name to use.
    Message("voice_speex", 5);
    for (int i = 1; i < messages; ++i) {
      Message(PickCodec(), static_cast<int>(random_.Below(256)));
      for (int k = random_.Below(3); k >= 0; --k) SwitchCommand();
      if (random_.Below(8) == 0) ChangeSetting();
      if (random_.Below(40) == 0) ChangeEngine();
      HudFrames(200 + static_cast<int>(random_.Below(100)));
      if (i % 100 == 0) CheckRecords();
    }
    CheckRecords();
    trace("%d messages (%d named, %d empty, %d of 60 bytes or more, %d to the engine's own "
          "handler), %d commands (%d switches), %d settings changed, %d HUD_Frame calls, "
          "%d voice initialisations\n",
          counts_.messages, counts_.named, counts_.empty, counts_.longNames,
          counts_.engineHandler, counts_.commands, counts_.switches, counts_.settings,
          counts_.hudFrames, counts_.initCalls);
  }

  // The engine as the session must leave it: the two hooks exactly as first written,
  // every other entry and the codec slot untouched, the capture format holding the
  // rates of the last path taken and its other fields as the engine set them.
  void CheckEngine() {
    plugin_in_game::CheckHooks(*game_);
    for (const char* entry : {"VoiceInitHandler", "HudFrame"})
      ok(std::memcmp(At(game_->EngineAddress(entry)), hooked_[Index(entry)], 5) == 0,
         "%s no longer holds its first jump\n", entry);
    const uintptr_t slot = *reinterpret_cast<const uintptr_t*>(game_->EngineAddress("CodecSlot"));
    ok(slot == game_->RealRoutine("CodecFunction"), "codec slot holds %08x, expected %08x\n",
       static_cast<unsigned>(slot), static_cast<unsigned>(game_->RealRoutine("CodecFunction")));
    CaptureFormat now;
    std::memcpy(&now, At(formatAt_), sizeof now);
    ok(now.samplesPerSec == model_.format.samples && now.avgBytesPerSec == model_.format.bytes,
       "capture format holds %u/%u, expected %u/%u\n", now.samplesPerSec, now.avgBytesPerSec,
       model_.format.samples, model_.format.bytes);
    ok(now.formatTag == initialFormat_.formatTag && now.channels == initialFormat_.channels &&
           now.blockAlign == initialFormat_.blockAlign &&
           now.bitsPerSample == initialFormat_.bitsPerSample && now.extraSize == initialFormat_.extraSize,
       "a capture format field other than the two rates changed\n");
    ok(game_->HasCommand("+steamvoice") && game_->HasCommand("VoiceInit"), "commands are gone\n");
  }

 private:
  static int Index(const char* entry) { return std::strcmp(entry, "HudFrame") == 0; }

  std::string PickCodec() {
    static const char* const kCodecs[] = {"voice_speex", "voice_celt", "voice_miles", "voice_opus"};
    switch (random_.Below(6)) {
      case 0: return "";
      case 1: {  // 60 to 250 bytes: longer than the plug-in's copy of the name
        std::string name = "voice_long_";
        name.resize(60 + random_.Below(191), static_cast<char>('a' + random_.Below(26)));
        return name;
      }
      default: return kCodecs[random_.Below(4)];
    }
  }

  void Message(const std::string& codec, int quality) {
    const int callsBefore = game_->LastVoiceInit().calls;
    game_->VoiceInit(codec, quality);
    ++counts_.messages;
    ok(game_->MessageFieldsRead() == 2, "message %d: read %d of its 2 fields\n", counts_.messages,
       game_->MessageFieldsRead());
    const WorldVoiceInitCall call = game_->LastVoiceInit();
    counts_.initCalls += call.calls - callsBefore;
    if (!model_.useOld) {
      ++counts_.engineHandler;
      model_.format = model_.steam;
    } else if (codec.empty()) {
      ++counts_.empty;
      model_.serverSteam = model_.steamActive = true;
    } else {
      ++counts_.named;
      if (codec.size() >= 60) ++counts_.longNames;
      model_.serverSteam = model_.steamActive = false;
      model_.lastNamed = codec.substr(0, 59);
      model_.format = model_.server;
      ok(call.calls == callsBefore + 1 && call.codec == codec.substr(0, 63) && !call.slotWasEngine &&
             call.samplesPerSec == model_.server.samples && call.avgBytesPerSec == model_.server.bytes,
         "message %d (%s): engine saw \"%s\" slot=%d at %u/%u\n", counts_.messages,
         codec.substr(0, 20).c_str(), call.codec, call.slotWasEngine, call.samplesPerSec,
         call.avgBytesPerSec);
    }
  }

  // One initialisation through a switch: the rates at the call and what it set up.
  void ExpectSwitch(const char* what, int callsBefore, bool steam) {
    const Rates& rates = steam ? model_.steam : model_.server;
    const WorldVoiceInitCall call = game_->LastVoiceInit();
    const std::string codec = steam ? std::string() : model_.lastNamed;
    ok(call.calls == callsBefore + 1 && call.codec == codec && call.slotWasEngine == (steam ? 1 : 0) &&
           call.samplesPerSec == rates.samples && call.avgBytesPerSec == rates.bytes,
       "%s: %d calls, engine saw \"%s\" slot=%d at %u/%u, expected \"%s\" at %u/%u\n", what,
       call.calls - callsBefore, call.codec, call.slotWasEngine, call.samplesPerSec,
       call.avgBytesPerSec, codec.c_str(), rates.samples, rates.bytes);
    model_.format = rates;
    if (model_.voiceResult == 0) {
      model_.failed = true;
    } else {
      model_.steamActive = steam;
      model_.failed = false;
    }
  }

  void SwitchCommand() {
    static const char* const kOdd[] = {"VoiceInit", "VoiceInit voice_celt", "VoiceInit voice_speex high",
                                       "VoiceInit \"\" 99999999999999", "VoiceInit voice_miles -7 extra",
                                       "VoiceInit   \t 3"};
    const int callsBefore = game_->LastVoiceInit().calls;
    ++counts_.commands;
    switch (random_.Below(6)) {
      case 0:
        game_->Command("+steamvoice");
        ++counts_.switches;
        if (model_.clientState == 5 && !model_.steamActive) ExpectSwitch("+steamvoice", callsBefore, true);
        break;
      case 1:
        game_->Command("+servervoice");
        ++counts_.switches;
        if (model_.clientState != 5) break;
        if (model_.serverSteam) {
          if (!model_.steamActive || model_.failed) ExpectSwitch("+servervoice", callsBefore, true);
        } else if (model_.steamActive || model_.failed) {
          ExpectSwitch("+servervoice", callsBefore, false);
        }
        break;
      case 2: game_->Command("-steamvoice"); break;
      case 3: game_->Command("-servervoice"); break;
      default: {
        // Initialises voice by hand: slot swapped around the call, no rates, no flags.
        game_->Command(kOdd[random_.Below(6)]);
        const WorldVoiceInitCall call = game_->LastVoiceInit();
        ok(call.calls == callsBefore + 1 && !call.slotWasEngine &&
               call.samplesPerSec == model_.format.samples && call.avgBytesPerSec == model_.format.bytes,
           "VoiceInit command: %d calls, slot=%d, rates %u/%u\n", call.calls - callsBefore,
           call.slotWasEngine, call.samplesPerSec, call.avgBytesPerSec);
        break;
      }
    }
    counts_.initCalls += game_->LastVoiceInit().calls - callsBefore;
  }

  void ChangeSetting() {
    static const uint32_t kRates[] = {8000, 11025, 16000, 22050, 44100};
    ++counts_.settings;
    const uint32_t rate = kRates[random_.Below(5)];
    switch (random_.Below(5)) {
      case 0:
        model_.useOld = random_.Below(3) != 0;
        ok(game_->Set("voice_useold", model_.useOld ? "1" : "0"), "no voice_useold\n");
        break;
      case 1:
        model_.steam = {rate, 2 * rate};
        ok(game_->Set("voice_SamplesPerSec_Steam", std::to_string(rate) + ".9"), "no Steam rate\n");
        ok(game_->Set("voice_AvgBytesPerSec_Steam", std::to_string(2 * rate)), "no Steam byte rate\n");
        break;
      default:
        model_.server = {rate, 2 * rate};
        ok(game_->Set("voice_SamplesPerSec", std::to_string(rate)), "no server rate\n");
        ok(game_->Set("voice_AvgBytesPerSec", std::to_string(2 * rate) + ".5"), "no server byte rate\n");
        break;
    }
  }

  // Leaving the game for a moment, or an engine whose voice initialisation fails.
  void ChangeEngine() {
    if (random_.Below(2)) {
      model_.clientState = model_.clientState == 5 ? 3 : 5;
      game_->SetClientState(model_.clientState);
    } else {
      model_.voiceResult = !model_.voiceResult;
      game_->SetVoiceInitResult(model_.voiceResult);
    }
  }

  void HudFrames(int calls) {
    const int before = game_->HudFrameCount();
    double time = 0;
    for (int i = 0; i < calls; ++i) {
      time = counts_.hudFrames * 0.016 + i;
      game_->HudFrame(time);
    }
    counts_.hudFrames += calls;
    const double last = game_->LastHudFrame();
    ok(game_->HudFrameCount() == before + calls && std::memcmp(&last, &time, sizeof time) == 0,
       "HUD_Frame: the engine ran %d of %d calls, last got %.17g\n", game_->HudFrameCount() - before,
       calls, last);
  }

  // The journal is emptied now and then so that it stays small over the session.
  void CheckRecords() {
    const std::string journal = game_->Journal();
    ok(journal.find("unexpected") == std::string::npos && journal.find("out of order") == std::string::npos,
       "after %d messages the journal holds:\n%s\n", counts_.messages,
       journal.substr(0, 2000).c_str());
    game_->ClearRecords();
  }

  Random random_;
  std::unique_ptr<world::Game> game_;
  uint8_t hooked_[2][5] = {};
  uintptr_t formatAt_ = 0;
  CaptureFormat initialFormat_ = {};
  Model model_;
  Counts counts_;
};

void SoakSession(int build, uint32_t seed) {
  Soak soak(build, seed);
  soak.Run(2500);
  soak.CheckEngine();
}

}  // namespace

SCENARIO(soak_session_6027) { SoakSession(6027, 0x6027u); }
SCENARIO(soak_session_6132) { SoakSession(6132, 0x6132u); }
