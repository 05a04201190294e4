#include "support/PNGEncoder.hpp"

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/Excn.hpp"

namespace morv {
namespace {

void appendU32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    out.append(bytes, 4);
}

// Length, type, data and the CRC of type and data.
void appendChunk(std::string& out, std::string_view type, std::string_view data) {
    appendU32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeAt = out.size();
    out += type;
    out += data;
    const auto* crcStart = reinterpret_cast<const Bytef*>(out.data() + typeAt);
    appendU32(out, static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), crcStart,
                                                    static_cast<uInt>(out.size() - typeAt))));
}

std::uint8_t paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Fills filtered (the filter type, then the row) with the filter of the
// smallest sum; previous is the row above (zeros for the first row).
void filterRow(const std::uint8_t* row, const std::uint8_t* previous, std::size_t bytes, std::size_t step,
               std::vector<std::uint8_t>& filtered, std::vector<std::uint8_t>& trial) {
    std::uint64_t bestSum = UINT64_MAX;
    for (std::uint8_t type = 0; type < 5; ++type) {
        trial[0] = type;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            const int a = i >= step ? row[i - step] : 0, b = previous[i], c = i >= step ? previous[i - step] : 0;
            const int predictor = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : paeth(a, b, c);
            const auto value = static_cast<std::uint8_t>(row[i] - predictor);
            trial[i + 1] = value;
            sum += static_cast<std::uint64_t>(std::abs(static_cast<int>(static_cast<std::int8_t>(value))));
        }
        if (sum < bestSum) {
            bestSum = sum;
            filtered.swap(trial);
        }
    }
}

class Deflater {
public:
    Deflater() {
        if (deflateInit(&stream_, 6) != Z_OK) throw Error("PNG: zlib could not start compressing");
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void add(const std::vector<std::uint8_t>& bytes, bool last) {
        stream_.next_in = const_cast<Bytef*>(bytes.data());
        stream_.avail_in = static_cast<uInt>(bytes.size());
        int status;
        do {
            std::array<Bytef, 65536> chunk;
            stream_.next_out = chunk.data();
            stream_.avail_out = chunk.size();
            status = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
            if (status == Z_STREAM_ERROR) throw Error("PNG: zlib failed while compressing");
            out_.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream_.avail_out);
        } while (stream_.avail_out == 0 || (last && status != Z_STREAM_END));
    }
    const std::string& compressed() const { return out_; }

private:
    z_stream stream_{};
    std::string out_;
};

}  // namespace

std::string encodePNG(const Picture& picture) {
    static constexpr std::uint8_t colourTypes[] = {0, 0, 4, 2, 6};  // by channels
    const std::size_t step = picture.channels, rowBytes = std::size_t{picture.width} * step;
    std::vector<std::uint8_t> zeros(rowBytes, 0), filtered(rowBytes + 1), trial(rowBytes + 1);
    Deflater deflater;
    for (std::size_t y = 0; y < picture.height; ++y) {
        const std::uint8_t* row = picture.pixels.data() + y * rowBytes;
        filterRow(row, y == 0 ? zeros.data() : row - rowBytes, rowBytes, step, filtered, trial);
        deflater.add(filtered, y + 1 == picture.height);
    }

    std::string header;
    appendU32(header, picture.width);
    appendU32(header, picture.height);
    header += static_cast<char>(8);
    header += static_cast<char>(colourTypes[picture.channels]);
    header.append(3, '\0');  // deflate, adaptive filtering, no interlacing
    std::string png("\x89PNG\r\n\x1a\n", 8);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", deflater.compressed());
    appendChunk(png, "IEND", {});
    return png;
}

}  // namespace morv
