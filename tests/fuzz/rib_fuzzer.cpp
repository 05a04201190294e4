// Bytes in, read by both LightWave readers, each scene written as RIB with its
// shaders into a private folder, every error of the system caught: what
// remains to be found is a crash, a hang, a leak or a sanitizer report.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <vector>

#include "exporters/renderman/ExportRI.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "importers/lightwave/LWOBReader.hpp"

namespace {

const std::filesystem::path& folder() {
    static const std::filesystem::path dir = [] {
        const std::filesystem::path shm = "/dev/shm";
        const auto base = std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
        auto d = base / ("morv3d-rib-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

void writeRib(const morv::MorvLValue& scene, std::ostream& messages) {
    try {
        morv::ExportRI::exportScene(scene, (folder() / "out.rib").string(), morv::ExportSettings{512, 512, messages});
    } catch (const std::exception&) {
    }
    for (const auto& e : std::filesystem::directory_iterator(folder())) std::filesystem::remove(e.path());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::ostringstream messages;
    try {
        writeRib(morv::parseLWO2Bytes(bytes, messages)->toCanonical(messages), messages);
    } catch (const std::exception&) {
    }
    try {
        writeRib(morv::readLWOBSceneFromBytes(bytes, messages), messages);
    } catch (const std::exception&) {
    }
    return 0;
}
