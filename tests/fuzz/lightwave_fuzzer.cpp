// Bytes in, both LightWave readers called (parse and conversion), every error
// of the system caught: what remains to be found is a crash, a hang, a leak or
// a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <vector>

#include "importers/LWO2Reader.hpp"
#include "importers/LWOBReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::ostringstream messages;
    try {
        morv::parseLWO2Bytes(bytes, messages)->toCanonical(messages);
    } catch (const std::exception&) {
    }
    try {
        morv::readLWOBSceneFromBytes(bytes, messages);
    } catch (const std::exception&) {
    }
    return 0;
}
