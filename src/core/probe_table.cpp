#include "core/probe_table.h"

#include <cstring>

const EngineProbe kEngineProbes[4] = {
    {0x149284, "Exe build: 17:47:17 Apr 25 2013", 6027},
    {0x17A11C, "Exe build: 16:05:41 Jun 15 2009", 4554},
    {0x1478DC, "Exe build: 11:17:34 Aug  8 2013", 6132},
    {0x1B670C, "Exe build: 14:58:36 Mar 11 2008", 4156},
};

namespace {

// Enough for any build-date line; a longer text is searched up to this length.
constexpr uint32_t kProbeWindow = 1024;

bool ProbeMatches(const uint8_t* image, uint32_t imageSize, const EngineProbe& probe,
                  SubstringSearch search) {
  if (probe.offset >= imageSize) return false;
  uint32_t available = imageSize - probe.offset;
  uint32_t window = available < kProbeWindow ? available : kProbeWindow;
  // Copy into a terminated buffer so the search cannot run past the image.
  char text[kProbeWindow + 1];
  const void* end = std::memchr(image + probe.offset, 0, window);
  uint32_t length = end ? static_cast<uint32_t>(static_cast<const uint8_t*>(end) -
                                                (image + probe.offset))
                        : window;
  std::memcpy(text, image + probe.offset, length);
  text[length] = '\0';
  return search(text, probe.text) != nullptr;
}

}  // namespace

int32_t DetectBuildInImage(const uint8_t* image, uint32_t imageSize, SubstringSearch search) {
  for (const EngineProbe& probe : kEngineProbes)
    if (ProbeMatches(image, imageSize, probe, search)) return probe.build;
  return 0;
}
