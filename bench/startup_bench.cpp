// One start of the simulated game, timed: the game's own start (fresh folder, engine
// modules loaded) and, with "plugin", the plug-in loaded and started by the host as
// well, its update check against the host given included. One start per process, as
// the game starts once.
//
//   startup_bench <bare|plugin> [update host]   prints "startup_bench ms=<n>"
//   startup_bench probed <engine build>
//       prints "startup_bench stall=<ms> attach=<ms> unload-stall=<ms> detach=<ms> heap=<n>"
//
// "probed" loads and starts the plug-in under the test world's loader-lock probe, with a
// name server that takes 2 s per lookup, then unloads it while it runs (the abnormal end
// that writes the error log), and prints what the probe's journal says: for the load, the
// longest time a thread start waited for the loader lock and how long the entry routine's
// attach took; for the unload, the longest wait of a thread start, how long the detach
// took and the heap calls made inside it. Nothing of the lookup or the report belongs
// under the lock, so the waits should stay far below the lookup's 2 s (the goal: under
// 50 ms).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "world.h"

namespace {

int ProbedLoad(int build) {
  world::Options options = world::ForBuild(build);
  options.name = "startup_bench";
  options.loaderProbe = true;
  options.slowResolverMs = 2000;
  double stall = -1, attach = -1, unloadStall = -1, detach = -1;
  long heap = -1;
  {
    world::Game game(options);
    if (!game.LoadPlugin() || game.Start() != 1) {
      std::fprintf(stderr, "startup_bench: the plug-in did not load and start\n");
      return 1;
    }
    game.Unload();
    // Journal lines: "<phase> longest-stall <ms>", "<phase> attach <ms>", "<phase> window
    // <what> <lock|free> <heap calls> <ms>", and the calls.
    std::istringstream lines(game.ProbeJournal());
    for (std::string line; std::getline(lines, line);) {
      char phase[32], what[64], window[32], lock[8];
      double ms;
      long calls;
      if (std::sscanf(line.c_str(), "%31s window %31s %7s %ld %lf", phase, window, lock, &calls, &ms) == 5) {
        if (!std::strcmp(phase, "unload") && !std::strcmp(window, "detach") && ms > detach) {
          detach = ms;  // the entry routine's window, the longest of the image's
          heap = calls;
        }
        continue;
      }
      if (std::sscanf(line.c_str(), "%31s %63s %lf", phase, what, &ms) != 3) continue;
      if (!std::strcmp(phase, "load") && !std::strcmp(what, "longest-stall")) stall = ms;
      if (!std::strcmp(phase, "load") && !std::strcmp(what, "attach")) attach = ms;
      if (!std::strcmp(phase, "unload") && !std::strcmp(what, "longest-stall")) unloadStall = ms;
    }
  }
  if (stall < 0 || attach < 0 || unloadStall < 0 || detach < 0) {
    std::fprintf(stderr, "startup_bench: the probe's journal holds no figures of the load and the unload\n");
    return 1;
  }
  std::printf("startup_bench stall=%.1f attach=%.1f unload-stall=%.1f detach=%.1f heap=%ld\n", stall,
              attach, unloadStall, detach, heap);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "probed") == 0) return ProbedLoad(std::atoi(argv[2]));
  if (argc < 2 || (std::strcmp(argv[1], "bare") && std::strcmp(argv[1], "plugin"))) {
    std::fprintf(stderr, "usage: startup_bench <bare|plugin> [update host] | probed <engine build>\n");
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
