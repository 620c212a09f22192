// One start of the simulated game, timed: the game's own start (fresh folder, engine
// modules loaded) and, with "plugin", the plug-in loaded and started by the host as
// well, its update check against the host given included. One start per process, as
// the game starts once.
//
//   startup_bench <bare|plugin> [update host]   prints "startup_bench ms=<n>"
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "world.h"

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "bare") && std::strcmp(argv[1], "plugin"))) {
    std::fprintf(stderr, "usage: startup_bench <bare|plugin> [update host]\n");
    return 2;
  }
  const bool plugin = std::strcmp(argv[1], "plugin") == 0;
  world::Options options;
  options.name = "startup_bench";
  if (argc > 2) options.updateHost = argv[2];
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  world::Game game(options);
  if (plugin && (!game.LoadPlugin() || game.Start() != 1)) {
    std::fprintf(stderr, "startup_bench: the plug-in did not load and start\n");
    return 1;
  }
  QueryPerformanceCounter(&stop);
  std::printf("startup_bench ms=%.2f\n", 1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) /
                                            static_cast<double>(frequency.QuadPart));
  return 0;
}
