// libFuzzer target for the picture decoders: bytes in as a BMP ("BM" first) or
// a Targa, a small picture encoded as PNG (large ones only slow the search);
// every system error is caught.
#include <cstdint>

#include "base/Excn.hpp"
#include "support/PNGEncoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        const morv::Picture p = size >= 2 && data[0] == 'B' && data[1] == 'M' ? morv::decodeBMP(bytes) : morv::decodeTarga(bytes);
        if (p.pixels.size() <= (1 << 20)) morv::encodePNG(p);
    } catch (const morv::MorvException&) {
    }
    return 0;
}
