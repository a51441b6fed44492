#include "flash/patch_stream_nor.h"

namespace KIVRA {

PatchStreamNor::PatchStreamNor() : PatchStreamNand(true) {}

}  // namespace KIVRA
