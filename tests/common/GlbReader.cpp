#include "common/GlbReader.hpp"

#include <zlib.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace morv::testing {
namespace {

using Json = std::map<std::string, std::string>;

// The text of the number, string (with its quotes) or word at s[i]; i moves past it.
std::string scalar(std::string_view s, std::size_t& i) {
    const std::size_t start = i;
    if (s.at(i) == '"')
        for (++i; s.at(i++) != '"';) i += s[i - 1] == '\\';
    else
        while (!std::strchr(",]}", s.at(i))) ++i;
    return std::string(s.substr(start, i - start));
}

// Enters the value at s[i], and every value inside it, by path.
void flatten(std::string_view s, std::size_t& i, const std::string& path, Json& out) {
    if (s.at(i) != '{' && s[i] != '[') return void(out[path] = scalar(s, i));
    const char close = s[i] == '{' ? '}' : ']';
    for (std::size_t n = 0; s.at(++i) != close; ++n) {
        std::string name = close == ']' ? std::to_string(n) : scalar(s, i);
        if (close == '}' && s.at(i++) != ':') throw std::runtime_error("JSON: no : at " + std::to_string(i));
        flatten(s, i, path + "/" + (close == ']' ? name : name.substr(1, name.size() - 2)), out);
        if (s.at(i) != ',') break;
    }
    if (s.at(i++) != close) throw std::runtime_error("JSON: no end of an object or array at " + std::to_string(i));
}

std::uint32_t le32(std::string_view b, std::size_t at) { return std::bit_cast<std::uint32_t>(std::array<char, 4>{b.at(at), b.at(at + 1), b.at(at + 2), b.at(at + 3)}); }
std::uint32_t be32(std::string_view b, std::size_t at) { return __builtin_bswap32(le32(b, at)); }

// The elements of the accessor of that number, each widened to T.
template <class T, std::size_t N>
std::vector<std::array<T, N>> elements(const Json& json, std::string_view bin, const std::string& accessor) {
    const auto number = [&](const std::string& path) { return std::stoul(json.at(path)); };
    const std::string a = "/accessors/" + accessor;
    const std::size_t offset = number("/bufferViews/" + json.at(a + "/bufferView") + "/byteOffset"), type = number(a + "/componentType");
    const std::size_t size = type == 5123 ? 2 : 4;
    std::vector<std::array<T, N>> out(number(a + "/count"));
    for (std::size_t e = 0; e < out.size(); ++e)
        for (std::size_t k = 0; k < N; ++k) {
            const std::size_t at = offset + (e * N + k) * size;
            const std::uint32_t bits = size == 2 ? std::uint8_t(bin.at(at)) | std::uint8_t(bin.at(at + 1)) << 8 : le32(bin, at);
            out[e][k] = type == 5126 ? static_cast<T>(std::bit_cast<float>(bits)) : static_cast<T>(bits);
        }
    return out;
}

}  // namespace

Glb readGlb(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 20 || b.substr(0, 4) != "glTF" || le32(b, 4) != 2 || le32(b, 8) != b.size() || b.substr(16, 4) != "JSON") throw std::runtime_error("not glTF");
    Glb glb;
    std::size_t at = 0;
    flatten(std::string_view(b).substr(20, le32(b, 12)), at, "", glb.json);
    const std::string_view bin = std::string_view(b).substr(std::min<std::size_t>(b.size(), 28 + le32(b, 12)));
    const Json& json = glb.json;
    for (std::size_t k = 0; json.count("/meshes/0/primitives/" + std::to_string(k) + "/indices"); ++k) {
        const std::string p = "/meshes/0/primitives/" + std::to_string(k), uvs = p + "/attributes/TEXCOORD_0";
        glb.primitives.push_back({elements<float, 3>(json, bin, json.at(p + "/attributes/POSITION")),
                                  json.count(uvs) ? elements<float, 2>(json, bin, json.at(uvs)) : std::vector<std::array<float, 2>>{},
                                  elements<std::uint32_t, 1>(json, bin, json.at(p + "/indices")),
                                  json.count(p + "/material") ? "/materials/" + json.at(p + "/material") : "",
                                  json.count(p + "/attributes/NORMAL") ? elements<float, 3>(json, bin, json.at(p + "/attributes/NORMAL"))
                                                                       : std::vector<std::array<float, 3>>{}});
    }
    for (std::size_t k = 0; json.count("/images/" + std::to_string(k) + "/bufferView"); ++k) {
        const std::string view = "/bufferViews/" + json.at("/images/" + std::to_string(k) + "/bufferView");
        glb.pictures.emplace_back(bin.substr(std::stoul(json.at(view + "/byteOffset")), std::stoul(json.at(view + "/byteLength"))));
    }
    return glb;
}

Picture decodePng(const std::string& png) {
    Picture out;
    std::string data;
    for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + be32(png, at)) {
        const std::string_view type = std::string_view(png).substr(at + 4, 4), body = std::string_view(png).substr(at + 8, be32(png, at));
        if (type == "IHDR") out = {be32(body, 0), be32(body, 4), std::uint32_t(std::string_view("\1\0\3\0\2\0\4", 7).at(std::uint8_t(body[9]))), {}};
        if (type == "IDAT") data += body;
    }
    const std::size_t stride = out.width * out.channels, step = out.channels;
    std::vector<std::uint8_t> raw((stride + 1) * out.height);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(data.data()), data.size()) || size != raw.size()) throw std::runtime_error("PNG: bad data");
    out.pixels.resize(stride * out.height);
    for (std::size_t i = 0; i < out.pixels.size(); ++i) {
        const std::size_t x = i % stride, y = i / stride;
        const int a = x >= step ? out.pixels[i - step] : 0, b = y > 0 ? out.pixels[i - stride] : 0;
        const int c = x >= step && y > 0 ? out.pixels[i - stride - step] : 0, p = a + b - c;
        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        const int predictors[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
        out.pixels[i] = static_cast<std::uint8_t>(raw[y * (stride + 1) + 1 + x] + predictors[raw.at(y * (stride + 1)) % 5]);
    }
    return out;
}

}  // namespace morv::testing
