#pragma once

#include <memory>

#include "flash/patch_stream.h"

namespace KIVRA {

class PatchStreamNand : public PatchStream {
public:
    PatchStreamNand();
    ~PatchStreamNand() override;
    PatchStreamNand(const PatchStreamNand&) = delete;
    PatchStreamNand& operator=(const PatchStreamNand&) = delete;

    int open(const char* path, int mode, uint32_t limit) override;
    int close() override;
    int getMode() override;
    int read(void* buffer, uint32_t length) override;
    int write(const void* data, uint32_t length) override;
    int seek(uint32_t offset) override;
    int erase() override;

    struct State;

protected:
    std::unique_ptr<State> state_;
};

}  // namespace KIVRA
