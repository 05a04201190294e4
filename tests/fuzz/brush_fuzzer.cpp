// Bytes in, the brush reader's probe and both of its stages called, every
// error of the system caught: what remains to be found is a crash, a hang, a
// leak or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <sstream>

#include "importers/UnrealT3DReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::ostringstream messages;
    morv::probeUnrealT3D(bytes);
    try {
        morv::readUnrealT3DSceneFromBytes(bytes, messages);
    } catch (const std::exception&) {
    }
    return 0;
}
