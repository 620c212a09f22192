// The release-signing public keys built into this module, and the deliverable it is.
// Each module target defines both in a source that src/CMakeLists.txt generates from
// the cache variable MURMELON_UPDATE_PUBLIC_KEYS, so a keyed variant of a flavour costs
// one compile and a link. The key texts stay verbatim in the module's bytes: the release
// tool finds its signing key's public half there before it signs a release for it.
#pragma once

extern const char kReleaseDeliverable[];  // "Murmelon_W_7_D" or "Murmelon_W_XP_D"
extern const char kReleasePublicKeys[];   // "", or one or two 64-digit hex keys, comma-separated
