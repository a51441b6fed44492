#pragma once
// The kind of a VPD record: it decides which keys the record must hold and where its two
// flash copies live.

namespace KIVRA {

// An integer chosen by the record's owner; values other than the named ones are allowed and
// behave like VpdTypeGeneric for the required keys (and have no flash location).
enum VpdType : int {
    VpdTypeGeneric = 0,   // no required keys
    VpdTypeHardware = 1,  // must hold "hwboot", "serial#", "ethmac" and "usbmac"
    VpdTypeBootEnv = 2,   // the boot loader's environment; no required keys
};

}  // namespace KIVRA
