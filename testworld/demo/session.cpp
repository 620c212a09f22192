// The session: engine up, plug-in loaded and started by the sound-system host, a server
// announces its codec, the player talks with Steam voice for a moment, a few frames
// pass, the host stops the plug-in and unloads it.
#include "session.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "world.h"

namespace demo {
namespace {

void Play(world::Game& game) {
  printf("plug-in %s: %s\n", game.options().flavour.c_str(),
         game.LoadPlugin() ? "loaded" : "not loaded (not built yet?)");
  if (!game.Plugin()) return;
  game.Start();
  game.VoiceInit("voice_speex", 3);
  game.Command("+steamvoice");
  for (int frame = 1; frame <= 3; ++frame) game.HudFrame(frame * 0.016);
  game.Command("-steamvoice");
  game.Stop();
  game.Unload();
}

// The console exactly as its bytes are (UTF-8), not as the C runtime would translate it.
void PrintConsole(const std::string& console) {
  printf("===== game console =====\n");
  fflush(stdout);
  int mode = _setmode(_fileno(stdout), _O_BINARY);
  fwrite(console.data(), 1, console.size(), stdout);
  if (!console.empty() && console.back() != '\n') fputc('\n', stdout);
  fflush(stdout);
  _setmode(_fileno(stdout), mode);
}

// The journal, with runs of equal lines folded into one.
void PrintSummary(const world::Game& game) {
  std::vector<std::string> lines = game.JournalLines();
  printf("===== journal (%u events) =====\n", static_cast<unsigned>(lines.size()));
  for (size_t i = 0; i < lines.size();) {
    size_t same = i;
    while (same < lines.size() && lines[same] == lines[i]) ++same;
    if (same - i > 1)
      printf("  %s   (x%u)\n", lines[i].c_str(), static_cast<unsigned>(same - i));
    else
      printf("  %s\n", lines[i].c_str());
    i = same;
  }
  WorldVoiceInitCall voice = game.LastVoiceInit();
  printf("===== engine =====\n");
  printf("  HUD_Frame ran %d times (last time %g)\n", game.HudFrameCount(), game.LastHudFrame());
  printf("  voice initialised %d times", voice.calls);
  if (voice.calls)
    printf(", last: %s at %u samples/s, %u bytes/s", voice.usedSteam ? "Steam voice" : voice.codec,
           voice.samplesPerSec, voice.avgBytesPerSec);
  printf("\n");
}

}  // namespace

int PlaySession(const SessionOptions& options) {
  world::Options worldOptions;
  worldOptions.build = options.build;
  worldOptions.flavour = options.flavour;
  worldOptions.updateHost = options.updateHost;
  worldOptions.name = "demo";
  world::Game game(worldOptions);
  printf("engine hw.dll build %d at 0x%08lx, game folder %s\n", options.build,
         static_cast<unsigned long>(game.EngineBase()), game.Folder().string().c_str());
  Play(game);
  PrintConsole(game.Console());
  PrintSummary(game);
  return 0;
}

}  // namespace demo
