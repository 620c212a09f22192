// What naming the plug-in's frames from its DWARF adds to one abnormal-end record: the
// reader's start over the image in memory and the lookups of the record's frames, timed
// in this process with the plug-in's own code (compiled in) on the real .asi loaded in
// the test world. Each round is a fresh reader with fresh memory, as each record is.
// The symbol handler's own work, the same with or without this, is not part of it.
//
//   error_log_bench [rounds]   prints "error_log_bench learn_ms=<n> record_ms=<median>
//                              max_ms=<n> frames=<placed of 3>"
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crash/own_debug_info.h"
#include "world.h"

namespace {

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  world::Options options;
  options.name = "error_log_bench";
  world::Game game(options);
  if (!game.LoadPlugin() || game.Start() != 1) {
    std::fprintf(stderr, "error_log_bench: the plug-in did not load and start\n");
    return 1;
  }
  // Three frames of the plug-in's code, as a record has two to four.
  std::vector<uint64_t> addresses;
  for (const char* name : {"_RIB_Main@20", "GetBuildInt", "CreateInterface"})
    addresses.push_back(reinterpret_cast<uintptr_t>(game.Export<void*>(name)) + 1);

  LARGE_INTEGER start, stop;
  QueryPerformanceCounter(&start);
  LearnOwnDebugSections(game.Plugin());  // at load, not part of the record
  QueryPerformanceCounter(&stop);
  const double learn = Milliseconds(start, stop);

  std::vector<double> times;
  int placed = 0;
  for (int round = 0; round < rounds; ++round) {
    QueryPerformanceCounter(&start);
    {
      OwnDebugInfo reader;
      placed = 0;
      for (uint64_t address : addresses) {
        StackFrameInfo frame;
        ResetFrame(frame, address);
        placed += reader.Place(frame);
      }
    }
    QueryPerformanceCounter(&stop);
    times.push_back(Milliseconds(start, stop));
  }
  std::sort(times.begin(), times.end());
  std::printf("error_log_bench learn_ms=%.2f record_ms=%.2f max_ms=%.2f frames=%d\n", learn,
              times[times.size() / 2], times.back(), placed);
  return placed == 3 ? 0 : 1;
}
