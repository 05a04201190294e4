// libFuzzer target for the picture decoders: bytes in as a BMP ("BM" first) or
// a Targa, the picture encoded as PNG; every system error is caught.
#include <cstdint>

#include "base/Excn.hpp"
#include "support/PNGEncoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        morv::encodePNG(size >= 2 && data[0] == 'B' && data[1] == 'M' ? morv::decodeBMP(bytes) : morv::decodeTarga(bytes));
    } catch (const morv::MorvException&) {
    }
    return 0;
}
