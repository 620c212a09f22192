#include "core/engine_build.h"

#include "base/plugin.h"
#include "engine/engine_builds.h"
#include "engine/pe_image.h"
#include "vstdlib/vstdlib_helper.h"

int32_t DetectEngineBuild() {
  uint32_t imageSize = 0;
  const auto* image = reinterpret_cast<const uint8_t*>(hEngineLib);
  // Without a readable header we cannot bound the probes, so nothing is read.
  Version = (image && pe::ReadImageSize(image, &imageSize))
                ? DetectBuildInImage(image, imageSize, Q_stristr)
                : 0;
  return Version;
}
