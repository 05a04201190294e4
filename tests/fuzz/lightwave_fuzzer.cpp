// Bytes in, both LightWave readers called (parse and conversion), and each
// scene they give written as an Unreal brush (moved and scaled as for a brush,
// no image file opened); every error of the system caught: what remains to be
// found is a crash, a hang, a leak or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <vector>

#include "driver/Morv3DConverter.hpp"
#include "exporters/unreal/ExportUnrealT3D.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::ostringstream messages;
    morv::ConversionOptions brush;
    brush.to = "Unreal.T3D";
    brush.forceTextureResolution = true;
    const auto writeBrush = [&](const morv::MorvLValue& scene) {
        const morv::MorvLValue moved = morv::modifyCanonical(scene, brush, {512, 512}, messages);
        morv::ExportUnrealT3D::brushText(moved, {512, 512, messages});
    };
    try {
        writeBrush(morv::parseLWO2Bytes(bytes, messages)->toCanonical(messages));
    } catch (const std::exception&) {
    }
    try {
        writeBrush(morv::readLWOBSceneFromBytes(bytes, messages));
    } catch (const std::exception&) {
    }
    return 0;
}
