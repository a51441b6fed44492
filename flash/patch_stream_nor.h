#pragma once

#include "flash/patch_stream_nand.h"

namespace KIVRA {

// A flash stream whose I/O unit is the whole erase block, as NOR flash is written.
class PatchStreamNor : public PatchStreamNand {
public:
    PatchStreamNor();
};

}  // namespace KIVRA
