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

// The console exactly as its bytes are (UTF-8), not as the C runtime would translate it.
void WriteBytes(const std::string& bytes) {
  fflush(stdout);
  int mode = _setmode(_fileno(stdout), _O_BINARY);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  if (!bytes.empty() && bytes.back() != '\n') fputc('\n', stdout);
  fflush(stdout);
  _setmode(_fileno(stdout), mode);
}

// Tells one step of the session, then what it put on the game console (as the player
// sees it) and what the engine did (indented), both since the step before.
class Narrator {
 public:
  explicit Narrator(const world::Game& game) : game_(game) {}

  template <typename Action>
  void Step(const char* what, Action action) {
    printf("\n> %s\n", what);
    action();
    std::string console = game_.Console();
    WriteBytes(console.substr(consoleSeen_));
    consoleSeen_ = console.size();
    std::vector<std::string> journal = game_.JournalLines();
    for (size_t i = journalSeen_; i < journal.size(); ++i)
      if (journal[i].compare(0, 5, "slot4") != 0)  // prints are on the console above
        printf("    | %s\n", journal[i].c_str());
    journalSeen_ = journal.size();
  }

 private:
  const world::Game& game_;
  size_t consoleSeen_ = 0;
  size_t journalSeen_ = 0;
};

void Play(world::Game& game) {
  Narrator narrator(game);
  narrator.Step("The game loads the plug-in (it waits for the sound-system host)", [&] {
    if (!game.LoadPlugin()) printf("    the plug-in did not load (not built yet?)\n");
  });
  if (!game.Plugin()) return;
  narrator.Step("The sound-system host starts it", [&] { game.Start(); });
  narrator.Step("A server announces its voice codec: voice_speex, quality 3",
                [&] { game.VoiceInit("voice_speex", 3); });
  narrator.Step("The player presses the key bound to +steamvoice",
                [&] { game.Command("+steamvoice"); });
  narrator.Step("Three frames pass", [&] {
    for (int frame = 1; frame <= 3; ++frame) game.HudFrame(frame * 0.016);
    printf("    | engine: HUD_Frame ran %d times through the hook\n", game.HudFrameCount());
  });
  narrator.Step("The player releases the key (-steamvoice)", [&] { game.Command("-steamvoice"); });
  narrator.Step("The game ends: the host stops the plug-in, the game unloads it", [&] {
    game.Stop();
    game.Unload();
  });
}

}  // namespace

int PlaySession(const SessionOptions& options) {
  world::Options worldOptions;
  worldOptions.build = options.build;
  worldOptions.flavour = options.flavour;
  worldOptions.updateHost = options.updateHost;
  worldOptions.name = "demo";
  world::Game game(worldOptions);
  printf("Simulated game: engine hw.dll build %d at 0x%08lx, game folder %s\n", options.build,
         static_cast<unsigned long>(game.EngineBase()), game.Folder().string().c_str());
  Play(game);
  return 0;
}

}  // namespace demo
