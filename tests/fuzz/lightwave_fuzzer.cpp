// Bytes in, both LightWave readers called (parse and conversion), and each
// scene they give written as an Unreal brush (moved and scaled as for a brush,
// no image file opened) and as LWO2 with every surface kept, which is read
// back; every error of the system caught, except one in reading back a file
// the writer wrote: what remains to be found is a crash, a hang, a leak, a
// sanitizer report or a written file that does not read. The LWO2 written is turned, mirrored and scaled first, and
// its placements must read back as written unless the writer reported them.
#include <unistd.h>

#include <cmath>
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
#include "scene/MorvLCoordTransforms.hpp"
#include "scene/MorvLTransformMesh.hpp"

// Every texture's transform read back against the one written, up to single floats.
static void comparePlacements(const morv::MorvLValue& written, const morv::MorvLValue& read) {
    const auto a = morv::requireField(written.fields(), "surfaces"), b = morv::requireField(read.fields(), "surfaces");
    for (std::size_t s = 0; s < a.size() && a.size() == b.size(); ++s) {  // not with surfaces of one name
        const auto ta = morv::forceGetListField(a.at(s).fields(), "textures"), tb = morv::forceGetListField(b.at(s).fields(), "textures");
        for (std::size_t t = 0; t < ta.size() && t < tb.size(); ++t) {
            const auto ma = morv::transformToMatrix4x4(morv::forceGetListField(ta.at(t).fields(), "transforms"));
            const auto mb = morv::transformToMatrix4x4(morv::forceGetListField(tb.at(t).fields(), "transforms"));
            double scale = 0;
            for (int i = 0; i < 12; ++i) scale = std::max(scale, std::isfinite(ma.rows[i / 4][i % 4]) ? std::fabs(ma.rows[i / 4][i % 4]) : 1e300);
            for (int i = 0; i < 12 && scale < 1e30; ++i)  // beyond that, single floats hold no placement
                if (!(std::fabs(ma.rows[i / 4][i % 4] - mb.rows[i / 4][i % 4]) <= 1e-4 * scale)) __builtin_trap();
        }
    }
}

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
    const morv::MorvLValue turns = morv::MorvLValue::List({morv::makeRotateX(0.3), morv::makeIntDegRotateY(90)});
    for (int reader = 0; reader < 2; ++reader) {
        bool wrote = false;
        morv::MorvLValue moved;
        std::ostringstream writer;
        try {
            const morv::MorvLValue scene = reader == 0 ? morv::parseLWO2Bytes(bytes, messages)->toCanonical(messages)
                                                       : morv::readLWOBSceneFromBytes(bytes, messages);
            moved = morv::transformMeshObject(scene, turns, -2.0);
            morv::MorvLToLWO2::translate(moved, written, true, &writer);  // may refuse a coordinate beyond single floats
            wrote = true;
            writeBrush(scene);
        } catch (const std::exception&) {
        }
        if (!wrote) continue;
        const morv::MorvLValue back = morv::readLWO2Scene(written, messages);  // what the writer wrote must read
        if (writer.str().empty()) comparePlacements(moved, back);
    }
    return 0;
}
