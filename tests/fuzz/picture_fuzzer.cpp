// libFuzzer target for the picture readers: the bytes are sized as their
// first bytes say (BMP, Targa, PNG, JPEG, GIF, ILBM), decoded, and made
// embeddable (a small picture encoded as PNG; large ones only slow the
// search); every system error is caught.
#include <cstdint>

#include "base/Excn.hpp"
#include "support/PNGEncoder.hpp"
#include "support/Pictures.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    morv::probeImageBytes(bytes);
    try {
        const morv::Picture p = morv::decodePicture(bytes);
        if (p.pixels.size() <= (1 << 20)) morv::embeddablePicture(bytes);
    } catch (const morv::MorvException&) {
    }
    return 0;
}
