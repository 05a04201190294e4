#include "support/ImageResolutions.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"

namespace morv {
namespace {

// The BMP file header (14 bytes) and the first 12 bytes of the information header.
constexpr std::size_t kHeaderBytes = 26;
constexpr std::int64_t kMaxBMPSide = 65535;

using Header = std::array<unsigned char, kHeaderBytes>;

std::uint32_t le16(const Header& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
std::uint32_t le32(const Header& b, std::size_t at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}
std::int32_t le32Signed(const Header& b, std::size_t at) {
    return static_cast<std::int32_t>(le32(b, at));  // two's complement, defined since C++20
}

ImageProbe shortRead(ImageProbeStatus status, std::string cause) {
    ImageProbe p;
    p.status = status;
    p.cause = std::move(cause);
    return p;
}

ImageProbe sized(std::int64_t width, std::int64_t height, std::int64_t max) {
    ImageProbe p;
    if (width <= 0 || height <= 0 || width > max || height > max) return p;  // NotImage
    p.status = ImageProbeStatus::Read;
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    return p;
}

// n is the number of header bytes the file holds (at most kHeaderBytes); b[0] and b[1] are "BM".
ImageProbe decodeBMP(const Header& b, std::size_t n) {
    if (n < 14) return shortRead(ImageProbeStatus::BMPReadError, "Could not read BMP header bytes");
    if (n < 18) return shortRead(ImageProbeStatus::BMPReadError, "Could not get 4 bytes");
    const std::uint32_t infoSize = le32(b, 14);
    if (infoSize == 12) {  // OS/2 core header: unsigned 16-bit sizes
        if (n < 22) return shortRead(ImageProbeStatus::BMPReadError, "Could not get 2 bytes");
        return sized(le16(b, 18), le16(b, 20), kMaxBMPSide);
    }
    if (infoSize < 16) return ImageProbe{};  // no known information header
    if (n < 26) return shortRead(ImageProbeStatus::BMPReadError, "Could not get 4 bytes");
    const std::int64_t height = le32Signed(b, 22);
    // A negative height marks rows stored top down; the size is its magnitude.
    return sized(le32Signed(b, 18), height < 0 ? -height : height, kMaxBMPSide);
}

bool targaKnown(unsigned colourMapType, unsigned imageType) {
    if (colourMapType == 1) return imageType == 1 || imageType == 2 || imageType == 9 || imageType == 10;
    return imageType == 2 || imageType == 10;
}

ImageProbe decodeTarga(const Header& b, std::size_t n) {
    if (n < 3 || !targaKnown(b[1], b[2])) return ImageProbe{};
    // Bytes 3..11: colour-map layout and image origin, skipped.
    if (n < 12) return shortRead(ImageProbeStatus::TargaReadError, "Could not get 9 bytes");
    if (n < 16) return shortRead(ImageProbeStatus::TargaReadError, "Could not get 2 bytes");
    return sized(le16(b, 12), le16(b, 14), 65535);
}

}  // namespace

MorvLValue makeImageResolution(double w, double h) {
    try {
        return MorvLValue::Record({Field{"w", MorvLValue::Real(w)}, Field{"h", MorvLValue::Real(h)}});
    } catch (const std::exception& e) {
        throw Error(exceptionName(e) + " in function ImageResolutions.makeImageResolution");
    }
}

std::optional<std::string> findImageFile(const std::string& platformName, const std::string& objectFile) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_regular_file(platformName, ec)) return platformName;
    const fs::path name(platformName);
    const fs::path current = fs::current_path(ec);
    if (platformName.empty() || name.is_absolute() || objectFile.empty() || ec) return std::nullopt;
    const bool showRelative = !fs::path(objectFile).is_absolute();
    // ".." in the object's name is taken lexically, as the shell's cd takes it.
    fs::path folder = (current / objectFile).lexically_normal().parent_path();
    for (;;) {
        const fs::path candidate = (folder / name).lexically_normal();
        if (folder != current && fs::is_regular_file(candidate, ec)) {
            const fs::path shown = showRelative ? candidate.lexically_relative(current) : candidate;
            return (shown.empty() ? candidate : shown).string();
        }
        if (folder == folder.root_path() || !folder.has_relative_path()) return std::nullopt;
        folder = folder.parent_path();
    }
}

ImageProbe probeImage(const std::string& platformName) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(platformName, ec) || ec)
        return shortRead(ImageProbeStatus::CannotOpen, {});
    std::ifstream in(platformName, std::ios::binary);
    if (!in) return shortRead(ImageProbeStatus::CannotOpen, {});

    Header b{};
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    const std::streamsize got = in.gcount();
    const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;

    if (n >= 2 && b[0] == 'B' && b[1] == 'M') return decodeBMP(b, n);
    return decodeTarga(b, n);
}

std::optional<std::pair<int, int>> probeImageFile(const std::string& platformName) {
    const ImageProbe p = probeImage(platformName);
    if (p.status != ImageProbeStatus::Read) return std::nullopt;
    return std::pair<int, int>(p.width, p.height);
}

MorvLValue resolutionForImage(const std::string& platformName, double defaultW, double defaultH,
                              bool force, std::ostream& out) {
    if (force) return makeImageResolution(defaultW, defaultH);

    const ImageProbe p = probeImage(platformName);
    const std::string shown = printableBytes(platformName);  // a name from a file may hold any byte
    std::string text;
    switch (p.status) {
        case ImageProbeStatus::Read: {
            const double w = p.width, h = p.height;
            text = "Using pixel resolution ";
            appendReal(text, w);
            text += 'x';
            appendReal(text, h);
            text += " for the image file " + shown + "\n";
            out << text;
            return makeImageResolution(w, h);
        }
        case ImageProbeStatus::CannotOpen:
            text = "Could not open file " + shown + "\n";
            break;
        case ImageProbeStatus::BMPReadError:
        case ImageProbeStatus::TargaReadError: {
            const char* kind = p.status == ImageProbeStatus::BMPReadError ? "BMP" : "Targa";
            Excn::reportingStream() << Excn::compose(std::string("Error: Could not read ") + kind +
                                                         " image file " + shown + "\n",
                                                     Error(p.cause))
                                    << '\n';
            break;
        }
        case ImageProbeStatus::NotImage:
            break;
    }
    text += "Warning: Could not get resolution of the image file \"" + shown + "\"\n";
    out << text;
    return makeImageResolution(defaultW, defaultH);
}

}  // namespace morv
