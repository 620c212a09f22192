// hw_small.dll: an ordinary small module, smaller than the first probe offset, so a
// probe that does not check the image size would read outside it.
#include "state.h"

namespace engine_world {

bool HasRegion() { return false; }

}  // namespace engine_world
