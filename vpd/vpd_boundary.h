#pragma once
// The boundary of every record and storage operation: errors travel inside as thrown
// VpdUpdaterError values and leave only as returned ones.

#include "vpd/vpd_updater.h"

namespace KIVRA {

// Runs body and returns its result; a VpdUpdaterError raised inside is returned as its value
// and any other exception (an allocation failure) as VpdCodeError.
template <typename Body>
VpdUpdater::VpdUpdaterError vpdBoundary(Body&& body) {
    try {
        return body();
    } catch (VpdUpdater::VpdUpdaterError error) {
        return error;
    } catch (...) {
        return VpdUpdater::VpdCodeError;
    }
}

}  // namespace KIVRA
