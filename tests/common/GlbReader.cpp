#include "common/GlbReader.hpp"

#include <zlib.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace morv::testing {
namespace {

struct JsonParser {
    std::string_view s;
    std::size_t i = 0;

    void skip() {
        while (i < s.size() && std::strchr(" \t\r\n", s[i])) ++i;
    }
    bool take(char c) {
        skip();
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    }
    void expect(char c) {
        if (!take(c)) throw std::runtime_error(std::string("JSON: expected ") + c + " at " + std::to_string(i));
    }
    std::string string() {
        expect('"');
        std::string out;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\' && s.at(i + 1) == 'u') {  // only \u00XX occurs in our files
                out += static_cast<char>(std::stoi(std::string(s.substr(i + 2, 4)), nullptr, 16));
                i += 6;
            } else {
                if (s[i] == '\\') ++i;
                out += s.at(i++);
            }
        }
        expect('"');
        return out;
    }
    Json value() {
        Json v;
        skip();
        if (i >= s.size()) throw std::runtime_error("JSON: text ends early");
        if (s[i] == '"') {
            v.kind = Json::Kind::String;
            v.text = string();
        } else if (take('[')) {
            v.kind = Json::Kind::Array;
            if (!take(']')) do v.items.push_back(value()); while (take(','));
            if (v.items.size()) expect(']');
        } else if (take('{')) {
            v.kind = Json::Kind::Object;
            if (!take('}')) {
                do {
                    std::string name = string();
                    expect(':');
                    v.members.emplace_back(std::move(name), value());
                } while (take(','));
                expect('}');
            }
        } else if (s.substr(i, 4) == "true" || s.substr(i, 5) == "false") {
            v.kind = Json::Kind::Bool;
            v.number = s[i] == 't';
            i += s[i] == 't' ? 4 : 5;
        } else {
            char* end = nullptr;
            const std::string rest(s.substr(i, 40));
            v.kind = Json::Kind::Number;
            v.number = std::strtod(rest.c_str(), &end);
            if (end == rest.c_str()) throw std::runtime_error("JSON: no value at " + std::to_string(i));
            i += static_cast<std::size_t>(end - rest.c_str());
        }
        return v;
    }
};

std::uint32_t le32(std::string_view b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.substr(at, 4).data(), 4);
    return v;
}

// The elements of one accessor, each widened to T.
template <class T, std::size_t N>
std::vector<std::array<T, N>> elements(const Json& json, std::string_view bin, std::size_t accessor) {
    const Json& a = json["accessors"][accessor];
    const Json& view = json["bufferViews"][static_cast<std::size_t>(a["bufferView"].number)];
    const auto component = static_cast<int>(a["componentType"].number);
    const std::size_t size = component == 5126 || component == 5125 ? 4 : 2, count = static_cast<std::size_t>(a["count"].number);
    const std::size_t offset = static_cast<std::size_t>(view["byteOffset"].number);
    if (count * N * size > view["byteLength"].number) throw std::runtime_error("accessor beyond its view");
    std::vector<std::array<T, N>> out(count);
    for (std::size_t e = 0; e < count; ++e)
        for (std::size_t k = 0; k < N; ++k) {
            const char* p = bin.substr(offset + (e * N + k) * size, size).data();
            if (component == 5126) out[e][k] = static_cast<T>(std::bit_cast<float>(le32({p, 4}, 0)));
            else if (size == 4) out[e][k] = static_cast<T>(le32({p, 4}, 0));
            else out[e][k] = static_cast<T>(static_cast<std::uint8_t>(p[0]) | static_cast<std::uint8_t>(p[1]) << 8);
        }
    return out;
}

}  // namespace

const Json& Json::operator[](std::string_view name) const {
    static const Json null;
    for (const auto& [key, value] : members)
        if (key == name) return value;
    return null;
}

Json parseJson(std::string_view text) { return JsonParser{text}.value(); }

Glb readGlb(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 20 || b.substr(0, 4) != "glTF" || le32(b, 4) != 2 || le32(b, 8) != b.size() ||
        b.substr(16, 4) != "JSON")
        throw std::runtime_error("not a binary glTF file: " + file.string());
    const std::size_t jsonLength = le32(b, 12);
    Glb glb{parseJson(std::string_view(b).substr(20, jsonLength)), {}, {}};
    std::string_view bin;
    if (20 + jsonLength < b.size()) bin = std::string_view(b).substr(28 + jsonLength, le32(b, 20 + jsonLength));
    const Json& json = glb.json;
    for (const Json& mesh : json["meshes"].items)
    for (const Json& p : mesh["primitives"].items) {
        GlbPrimitive primitive;
        for (const auto& e : elements<float, 3>(json, bin, static_cast<std::size_t>(p["attributes"]["POSITION"].number)))
            primitive.positions.push_back(e);
        if (const Json& uv = p["attributes"]["TEXCOORD_0"]; uv.kind == Json::Kind::Number)
            for (const auto& e : elements<float, 2>(json, bin, static_cast<std::size_t>(uv.number))) primitive.uvs.push_back(e);
        for (const auto& e : elements<std::uint32_t, 1>(json, bin, static_cast<std::size_t>(p["indices"].number)))
            primitive.indices.push_back(e[0]);
        if (p["material"].kind == Json::Kind::Number)
            primitive.material = &json["materials"][static_cast<std::size_t>(p["material"].number)];
        glb.primitives.push_back(std::move(primitive));
    }
    for (const Json& image : json["images"].items) {
        const Json& view = json["bufferViews"][static_cast<std::size_t>(image["bufferView"].number)];
        glb.pictures.emplace_back(bin.substr(static_cast<std::size_t>(view["byteOffset"].number),
                                             static_cast<std::size_t>(view["byteLength"].number)));
    }
    return glb;
}

DecodedPng decodePng(std::string_view png) {
    DecodedPng out;
    std::string data;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = __builtin_bswap32(le32(png, at));
        const std::string_view type = png.substr(at + 4, 4), body = png.substr(at + 8, length);
        if (type == "IHDR") {
            out.width = __builtin_bswap32(le32(body, 0));
            out.height = __builtin_bswap32(le32(body, 4));
            out.channels = std::string_view("\1\0\3\0\2\0\4", 7).at(static_cast<std::uint8_t>(body[9])) & 7;
            if (body[8] != 8 || body[12] != 0) throw std::runtime_error("PNG: not 8 bits, or interlaced");
        }
        if (type == "IDAT") data += body;
        at += 12 + length;
    }
    const std::size_t stride = std::size_t{out.width} * out.channels;
    std::vector<std::uint8_t> raw((stride + 1) * out.height);
    uLongf rawLength = raw.size();
    if (uncompress(raw.data(), &rawLength, reinterpret_cast<const Bytef*>(data.data()), data.size()) != Z_OK ||
        rawLength != raw.size())
        throw std::runtime_error("PNG: the pixel data does not inflate to the picture's size");
    out.pixels.resize(stride * out.height);
    for (std::size_t y = 0; y < out.height; ++y) {
        const std::uint8_t filter = raw[y * (stride + 1)];
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= out.channels ? out.pixels[y * stride + i - out.channels] : 0;
            const int b = y > 0 ? out.pixels[(y - 1) * stride + i] : 0;
            const int c = i >= out.channels && y > 0 ? out.pixels[(y - 1) * stride + i - out.channels] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predictor = filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2
                                : filter == 4 ? (pa <= pb && pa <= pc ? a : pb <= pc ? b : c) : 0;
            out.pixels[y * stride + i] = static_cast<std::uint8_t>(raw[y * (stride + 1) + 1 + i] + predictor);
        }
    }
    return out;
}

}  // namespace morv::testing
