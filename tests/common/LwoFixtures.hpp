// Builds IFF files (LWO2 and others) in memory, chunk by chunk, for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::testing {

using Bytes = std::vector<std::uint8_t>;

// Appends big-endian items; chunk() and sub() wrap a body with its header and pad.
class IffBuilder {
public:
    IffBuilder& id(std::string_view fourcc);  // the characters as given (any length)
    IffBuilder& u1(std::uint8_t v);
    IffBuilder& u2(std::uint16_t v);
    IffBuilder& u4(std::uint32_t v);
    IffBuilder& f4(double v);  // IEEE single precision
    IffBuilder& vec(double x, double y, double z);
    IffBuilder& str(std::string_view s);  // NUL, then a pad byte to an even count
    IffBuilder& vx(std::uint32_t index);  // 2 bytes up to 0xFEFF, else 0xFF and 3 bytes
    IffBuilder& raw(const Bytes& bytes);
    IffBuilder& raw(const IffBuilder& other) { return raw(other.bytes()); }

    // id, 4-byte length, body, pad byte when the body is odd.
    IffBuilder& chunk(std::string_view id, const IffBuilder& body);
    // The same with a length of the caller's choice and no pad (damaged files).
    IffBuilder& chunkWithLength(std::string_view id, std::int32_t length, const IffBuilder& body);
    // id, 2-byte length, body, pad byte when the body is odd.
    IffBuilder& sub(std::string_view id, const IffBuilder& body);
    IffBuilder& subWithLength(std::string_view id, std::uint16_t length, const IffBuilder& body);

    const Bytes& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    Bytes bytes_;
};

// "FORM", the length of type and chunks, the type, the chunks.
Bytes iffForm(std::string_view type, const IffBuilder& chunks);

// ---- LWO2 chunk bodies ----
IffBuilder lwo2Layer(std::uint16_t number, std::string_view name, std::optional<std::uint16_t> parent = std::nullopt,
                     XYZ pivot = {});
IffBuilder lwo2Points(const std::vector<XYZ>& points);
IffBuilder lwo2Polygons(std::string_view type, const std::vector<std::vector<std::uint32_t>>& polygons);
IffBuilder lwo2Tags(const std::vector<std::string>& tags);
IffBuilder lwo2PolygonTags(std::string_view type, const std::vector<std::pair<std::uint32_t, std::uint16_t>>& pairs);
struct UvEntry {
    std::uint32_t vertex;
    std::uint32_t polygon;  // per-polygon maps only
    std::vector<double> values;
};
IffBuilder lwo2VertexMap(std::string_view type, std::uint16_t dimension, std::string_view name,
                         const std::vector<UvEntry>& entries);
IffBuilder lwo2PolygonVertexMap(std::string_view type, std::uint16_t dimension, std::string_view name,
                                const std::vector<UvEntry>& entries);
IffBuilder lwo2StillClip(std::uint32_t index, std::string_view fileName);
// A surface: name, source, then the subchunks in `subchunks`.
IffBuilder lwo2Surface(std::string_view name, std::string_view source, const IffBuilder& subchunks);

// Writes bytes to a fresh file in a private temporary directory; returns its path.
std::string writeTempFile(const Bytes& bytes, std::string_view name);

}  // namespace morv::testing
