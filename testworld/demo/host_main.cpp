// bin/host.exe [--build N] [--flavour NAME] [--update-host HOST]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session.h"

int main(int argc, char** argv) {
  demo::SessionOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(argv[i], "--build") == 0 && value) {
      options.build = atoi(value);
    } else if (strcmp(argv[i], "--flavour") == 0 && value) {
      options.flavour = value;
    } else if (strcmp(argv[i], "--update-host") == 0 && value) {
      options.updateHost = value;
    } else {
      fprintf(stderr, "usage: host.exe [--build N] [--flavour NAME] [--update-host HOST]\n");
      return 2;
    }
    ++i;
  }
  return demo::PlaySession(options);
}
