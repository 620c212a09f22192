// One abnormal-end record, timed: the plug-in started in the test world under an
// export-only symbol handler (what Windows' dbghelp offers for our module), then
// unloaded while running, which writes the record; the unload is timed. With a module
// file given (the plug-in without its DWARF), that file is loaded instead: the record
// as it was before the plug-in read its own DWARF. One record per process, as in a game.
//
//   error_log_bench [module file]   prints "error_log_bench ms=<n> frames=<lines>"
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "world.h"

int main(int argc, char** argv) {
  world::Options options;
  options.name = "error_log_bench";
  options.publicSymbolsOnly = true;
  world::Game game(options);
  if (argc > 1 && !CopyFileA(argv[1], game.AsiInFolder().string().c_str(), FALSE)) {
    std::fprintf(stderr, "error_log_bench: cannot use %s\n", argv[1]);
    return 2;
  }
  if (!game.LoadPlugin() || game.Start() != 1) {
    std::fprintf(stderr, "error_log_bench: the plug-in did not load and start\n");
    return 1;
  }
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  game.Unload();
  QueryPerformanceCounter(&stop);
  // Frame lines: those of the record between its header's empty line and the next.
  std::ifstream log("MurmelonError.log");
  std::string line;
  int frames = 0;
  bool inStack = false;
  while (std::getline(log, line)) {
    if (line == "\r" || line.empty()) {
      if (inStack) break;
      inStack = true;
    } else if (inStack) {
      ++frames;
    }
  }
  std::printf("error_log_bench ms=%.2f frames=%d\n",
              1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) /
                  static_cast<double>(frequency.QuadPart),
              frames);
  return 0;
}
