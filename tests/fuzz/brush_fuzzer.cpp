// Bytes in, the brush reader's probe and both of its stages called, and the
// scene it gives written as a brush again (in memory, no image file opened);
// every error of the system caught: what remains to be found is a crash, a
// hang, a leak or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <sstream>

#include "driver/Morv3DConverter.hpp"
#include "exporters/unreal/ExportUnrealT3D.hpp"
#include "importers/unreal/UnrealT3DReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::ostringstream messages;
    morv::probeUnrealT3D(bytes);
    morv::ConversionOptions brush;
    brush.to = "Unreal.T3D";
    brush.scale = 1.0;
    brush.forceTextureResolution = true;
    try {
        const morv::MorvLValue scene = morv::readUnrealT3DSceneFromBytes(bytes, messages);
        morv::ExportUnrealT3D::brushText(morv::modifyCanonical(scene, brush, {512, 512}, messages),
                                         {512, 512, messages});
    } catch (const std::exception&) {
    }
    return 0;
}
