// A short game session with the real plug-in, for people to watch.
#pragma once

#include <string>

namespace demo {

struct SessionOptions {
  int build = 6027;
  std::string flavour = "Murmelon_W_7_D";
  std::string updateHost;  // empty: the world's default (nothing listens there)
};

// Plays the session, step by step, with what each step put on the game console and
// what the engine did; returns the exit code.
int PlaySession(const SessionOptions& options);

}  // namespace demo
