// Bytes in, both LightWave readers called (parse and conversion), and each
// scene they give written as an Unreal brush (moved and scaled as for a brush,
// no image file opened) and as LWO2 with every surface kept, which is read
// back; every error of the system caught, except one in reading back a file
// the writer wrote: what remains to be found is a crash, a hang, a leak, a
// sanitizer report or a written file that does not read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Morv3DConverter.hpp"
#include "exporters/lightwave/MorvLToLWO2.hpp"
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
    static const std::string written =
        (std::filesystem::temp_directory_path() / ("lightwave_fuzzer-" + std::to_string(::getpid()) + ".lwo")).string();
    for (int reader = 0; reader < 2; ++reader) {
        bool wrote = false;
        try {
            const morv::MorvLValue scene = reader == 0 ? morv::parseLWO2Bytes(bytes, messages)->toCanonical(messages)
                                                       : morv::readLWOBSceneFromBytes(bytes, messages);
            morv::MorvLToLWO2::translate(scene, written, true);  // may refuse a coordinate beyond single floats
            wrote = true;
            writeBrush(scene);
        } catch (const std::exception&) {
        }
        if (wrote) morv::readLWO2Scene(written, messages);  // what the writer wrote must read
    }
    return 0;
}
