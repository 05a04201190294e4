#include "common/LwoFixtures.hpp"

#include <unistd.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace morv::testing {

IffBuilder& IffBuilder::id(std::string_view fourcc) {
    bytes_.insert(bytes_.end(), fourcc.begin(), fourcc.end());
    return *this;
}

IffBuilder& IffBuilder::u1(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
}

IffBuilder& IffBuilder::u2(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
}

IffBuilder& IffBuilder::u4(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
    return *this;
}

IffBuilder& IffBuilder::f4(double v) { return u4(std::bit_cast<std::uint32_t>(static_cast<float>(v))); }

IffBuilder& IffBuilder::vec(double x, double y, double z) { return f4(x).f4(y).f4(z); }

IffBuilder& IffBuilder::str(std::string_view s) {
    id(s);
    bytes_.push_back(0);
    if (s.size() % 2 == 0) bytes_.push_back(0);
    return *this;
}

IffBuilder& IffBuilder::vx(std::uint32_t index) {
    return index <= 0xFEFF ? u2(static_cast<std::uint16_t>(index)) : u4(0xFF000000u | index);
}

IffBuilder& IffBuilder::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

IffBuilder& IffBuilder::chunk(std::string_view id, const IffBuilder& body) {
    chunkWithLength(id, static_cast<std::int32_t>(body.size()), body);
    if (body.size() % 2 != 0) u1(0);
    return *this;
}

IffBuilder& IffBuilder::chunkWithLength(std::string_view id, std::int32_t length, const IffBuilder& body) {
    return this->id(id).u4(static_cast<std::uint32_t>(length)).raw(body);
}

IffBuilder& IffBuilder::sub(std::string_view id, const IffBuilder& body) {
    subWithLength(id, static_cast<std::uint16_t>(body.size()), body);
    if (body.size() % 2 != 0) u1(0);
    return *this;
}

IffBuilder& IffBuilder::subWithLength(std::string_view id, std::uint16_t length, const IffBuilder& body) {
    return this->id(id).u2(length).raw(body);
}

Bytes iffForm(std::string_view type, const IffBuilder& chunks) {
    IffBuilder form;
    form.id("FORM").u4(static_cast<std::uint32_t>(chunks.size() + type.size())).id(type).raw(chunks);
    return form.bytes();
}

IffBuilder lwo2Layer(std::uint16_t number, std::string_view name, std::optional<std::uint16_t> parent, XYZ pivot) {
    IffBuilder b;
    b.u2(number).u2(0).vec(pivot.x, pivot.y, pivot.z).str(name);
    if (parent) b.u2(*parent);
    return b;
}

IffBuilder lwo2Points(const std::vector<XYZ>& points) {
    IffBuilder b;
    for (const auto& p : points) b.vec(p.x, p.y, p.z);
    return b;
}

IffBuilder lwo2Polygons(std::string_view type, const std::vector<std::vector<std::uint32_t>>& polygons) {
    IffBuilder b;
    b.id(type);
    for (const auto& polygon : polygons) {
        b.u2(static_cast<std::uint16_t>(polygon.size()));
        for (auto v : polygon) b.vx(v);
    }
    return b;
}

IffBuilder lwo2Tags(const std::vector<std::string>& tags) {
    IffBuilder b;
    for (const auto& t : tags) b.str(t);
    return b;
}

IffBuilder lwo2PolygonTags(std::string_view type, const std::vector<std::pair<std::uint32_t, std::uint16_t>>& pairs) {
    IffBuilder b;
    b.id(type);
    for (const auto& [polygon, tag] : pairs) b.vx(polygon).u2(tag);
    return b;
}

namespace {
IffBuilder vertexMap(std::string_view type, std::uint16_t dimension, std::string_view name,
                     const std::vector<UvEntry>& entries, bool perPolygon) {
    IffBuilder b;
    b.id(type).u2(dimension).str(name);
    for (const auto& e : entries) {
        b.vx(e.vertex);
        if (perPolygon) b.vx(e.polygon);
        for (double v : e.values) b.f4(v);
    }
    return b;
}
}  // namespace

IffBuilder lwo2VertexMap(std::string_view type, std::uint16_t dimension, std::string_view name,
                         const std::vector<UvEntry>& entries) {
    return vertexMap(type, dimension, name, entries, false);
}

IffBuilder lwo2PolygonVertexMap(std::string_view type, std::uint16_t dimension, std::string_view name,
                                const std::vector<UvEntry>& entries) {
    return vertexMap(type, dimension, name, entries, true);
}

IffBuilder lwo2StillClip(std::uint32_t index, std::string_view fileName) {
    IffBuilder b;
    b.u4(index).sub("STIL", IffBuilder().str(fileName));
    return b;
}

IffBuilder lwo2Surface(std::string_view name, std::string_view source, const IffBuilder& subchunks) {
    IffBuilder b;
    b.str(name).str(source).raw(subchunks);
    return b;
}

std::string writeTempFile(const Bytes& bytes, std::string_view name) {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("morv3d-tests-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    const auto path = dir / std::string(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return path.string();
}

}  // namespace morv::testing
