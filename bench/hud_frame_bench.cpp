// Cost of one hooked HUD_Frame call (the engine's entry jumps into the plug-in, which
// puts the original bytes back, calls the routine and writes the jump again) against a
// direct call of the same engine routine, measured in the same run.
//
//   hud_frame_bench [calls] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "world.h"

namespace {

using HudFrameFn = void(__cdecl*)(double);

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Nanoseconds per call of `routine` over `calls` calls.
double TimeCalls(HudFrameFn routine, int calls, LARGE_INTEGER frequency) {
  LARGE_INTEGER start, stop;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < calls; ++i) routine(static_cast<double>(i));
  QueryPerformanceCounter(&stop);
  return Seconds(start, stop, frequency) * 1e9 / calls;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, atoi(argv[1])) : 200000;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 7;

  world::Options options;
  options.name = "hud_frame_bench";
  world::Game game(options);
  if (!game.PluginInFolder() || !game.LoadPlugin() || game.Start() != 1) {
    fprintf(stderr, "bench: the plug-in did not start\n");
    return 1;
  }
  auto hooked = reinterpret_cast<HudFrameFn>(game.EngineAddress("HudFrame"));
  auto direct = reinterpret_cast<HudFrameFn>(game.RealRoutine("HudFrame"));
  const auto* entry = reinterpret_cast<const unsigned char*>(hooked);
  if (!hooked || !direct || entry[0] != 0xE9) {
    fprintf(stderr, "bench: HUD_Frame is not hooked\n");
    return 1;
  }

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  TimeCalls(hooked, calls / 10 + 1, frequency);  // warm caches and page protections
  TimeCalls(direct, calls / 10 + 1, frequency);

  // Interleaved rounds, so a change of machine load hits both sides alike.
  std::vector<double> hookedNs, directNs;
  for (int round = 0; round < rounds; ++round) {
    hookedNs.push_back(TimeCalls(hooked, calls, frequency));
    directNs.push_back(TimeCalls(direct, calls, frequency));
  }
  const double h = Median(hookedNs), d = Median(directNs);
  game.ClearRecords();
  hooked(1.5);
  const bool passedOn = game.HudFrameCount() == 1 && game.LastHudFrame() == 1.5;

  printf("HUD_Frame: %d calls x %d rounds (median of rounds)\n", calls, rounds);
  printf("  hooked call : %10.1f ns/call\n", h);
  printf("  direct call : %10.1f ns/call\n", d);
  printf("  ratio       : %10.1f x  (hook overhead %.1f ns/call)\n", d > 0 ? h / d : 0.0, h - d);
  printf("  still hooked and passing the argument on: %s\n",
         passedOn && entry[0] == 0xE9 ? "yes" : "NO");
  game.Stop();
  return passedOn ? 0 : 1;
}
