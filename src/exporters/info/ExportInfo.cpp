#include "exporters/info/ExportInfo.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <numbers>
#include <streambuf>

#include "scene/CanonicalScene.hpp"
#include "support/JsonText.hpp"
#include "support/NeutralFileName.hpp"
#include "support/Pictures.hpp"

namespace morv {

// ---- Warnings ----

class WarningRecorder::Buffer : public std::streambuf {
public:
    explicit Buffer(std::streambuf* target) : target_(target) {}
    std::vector<std::string> warnings;

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        keep(traits_type::to_char_type(c));
        return target_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) keep(s[i]);
        return target_->sputn(s, n);
    }
    int sync() override { return target_->pubsync(); }

private:
    void keep(char c) {
        if (c != '\n') {
            line_ += c;
            return;
        }
        if (line_.starts_with("Warning")) warnings.push_back(line_);
        line_.clear();
    }
    std::streambuf* target_;
    std::string line_;
};

WarningRecorder::WarningRecorder(std::ostream& target)
    : buffer_(std::make_unique<Buffer>(target.rdbuf())), stream_(std::make_unique<std::ostream>(buffer_.get())) {}
WarningRecorder::~WarningRecorder() = default;
std::ostream& WarningRecorder::stream() { return *stream_; }

std::vector<std::string> recordedWarnings(std::ostream& messages) {
    const auto* buffer = dynamic_cast<const WarningRecorder::Buffer*>(messages.rdbuf());
    return buffer ? buffer->warnings : std::vector<std::string>{};
}

// ---- JSON text ----

namespace {

// Reals as single floats, as the files store them; counts and indices whole.
void appendNumber(std::string& out, double value) {
    if (!(std::fabs(value) <= std::numeric_limits<float>::max())) {  // NaN, infinite or beyond a float
        out += "null";
        return;
    }
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, static_cast<float>(value)).ptr);
}

void appendCount(std::string& out, std::uint64_t value) {
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// "name": before the next member of an object (a comma unless it is the first).
std::string& key(std::string& out, std::string_view name) {
    if (out.back() != '{') out += ',';
    appendJsonString(out, name);
    return out += ':';
}

// The next element of an array.
std::string& element(std::string& out) {
    if (out.back() != '[') out += ',';
    return out;
}

// ---- The parts of the object ----

void appendMesh(std::string& out, const MorvLValue& mesh) {
    const MeshView view(mesh);
    key(out, "layers") += '[';
    for (const MeshLayer& layer : meshLayers(mesh)) {
        element(out) += '{';
        appendCount(key(out, "number"), static_cast<std::uint64_t>(std::max(layer.number, 0)));
        appendJsonString(key(out, "name"), layer.name);
        appendCount(key(out, "points"), layer.vertices);
        appendCount(key(out, "faces"), layer.faces);
        out += '}';
    }
    out += ']';
    appendCount(key(out, "points"), view.vertexCount());
    std::size_t counts[3] = {};
    for (const FaceKindRun& run : view.kindRuns()) counts[static_cast<int>(run.kind)] += run.count;
    key(out, "faces") += '{';
    appendCount(key(out, "plain"), counts[0]);
    appendCount(key(out, "subPatch"), counts[1]);
    appendCount(key(out, "catmullClark"), counts[2]);
    out += '}';
    if (view.vertexCount() == 0) {
        key(out, "boundingBox") += "null";
        return;
    }
    XYZ low = view.point(0), high = low;
    for (std::size_t v = 1; v < view.vertexCount(); ++v) {
        const XYZ p = view.point(v);
        low = {std::fmin(low.x, p.x), std::fmin(low.y, p.y), std::fmin(low.z, p.z)};
        high = {std::fmax(high.x, p.x), std::fmax(high.y, p.y), std::fmax(high.z, p.z)};
    }
    key(out, "boundingBox") += '{';
    for (const auto& [name, p] : {std::pair{"min", low}, std::pair{"max", high}}) {
        key(out, name) += '[';
        for (double c : {p.x, p.y, p.z}) appendNumber(element(out), c);
        out += ']';
    }
    out += '}';
}

void appendTexture(std::string& out, const Fields& t, const std::vector<std::string>& uvMaps) {
    element(out) += '{';
    appendJsonString(key(out, "channel"), getStringField(t, "textureChannel", "unknown"));
    const std::string projection = getStringField(t, "projection", "unknown");
    appendJsonString(key(out, "projection"), projection);
    const auto axis = findIntegerField(t, "axis");
    key(out, "axis") += axis && *axis >= 0 && *axis <= 2 ? std::string("\"") + "xyz"[*axis] + '"' : "null";
    const auto slot = findIntegerField(t, "stIndex");
    if (projection == "st" && slot && *slot >= 0 && static_cast<std::size_t>(*slot) < uvMaps.size())
        appendJsonString(key(out, "uvMap"), uvMaps[static_cast<std::size_t>(*slot)]);
    else
        key(out, "uvMap") += "null";
    const auto image = findIntegerField(t, "image");
    if (image && *image >= 0) appendCount(key(out, "picture"), static_cast<std::uint64_t>(*image));
    else key(out, "picture") += "null";
    out += '}';
}

void appendSurfaces(std::string& out, const MorvLValue& surfaces, const std::vector<std::string>& uvMaps) {
    key(out, "surfaces") += '[';
    for (std::size_t i = 0; i < surfaces.size(); ++i) {
        const Fields s = surfaces.at(i).fields();
        element(out) += '{';
        appendJsonString(key(out, "name"), getStringField(s, "name", ""));
        const Color c = getColorField(s, "color", Color{});
        key(out, "colour") += '[';
        for (double v : {c.r, c.g, c.b}) appendNumber(element(out), v);
        out += ']';
        const auto angle = s.find("smoothingAngle");
        if (angle && angle->kind() == Kind::REAL) appendNumber(key(out, "smoothingAngle"), angle->asReal() * 180 / std::numbers::pi);
        else key(out, "smoothingAngle") += "null";
        key(out, "textures") += '[';
        const MorvLValue textures = getListField(s, "textures", MorvLValue::List({}));
        for (std::size_t k = 0; k < textures.size(); ++k) appendTexture(out, textures.at(k).fields(), uvMaps);
        out += "]}";
    }
    out += ']';
}

// A neutral name as stored: volume and ":", then the path.
std::string storedName(const MorvLValue& neutral) {
    const auto volume = getFileNameVolume(neutral);
    return (volume ? *volume + ":" : std::string()) + (getFileNameAbsolute(neutral) ? "/" : "") + getFileNamePath(neutral);
}

void appendPictures(std::string& out, const MorvLValue& images) {
    key(out, "pictures") += '[';
    for (std::size_t i = 0; i < images.size(); ++i) {
        const Fields f = images.at(i).fields();
        element(out) += '{';
        appendJsonString(key(out, "name"), storedName(f.find("storedFileName").value_or(requireField(f, "fileName"))));
        const auto file = f.find("sourceFile");
        const ImageProbe probe = file ? probeImage(file->asString()) : ImageProbe{};
        if (file) appendJsonString(key(out, "file"), file->asString());
        else key(out, "file") += "null";
        if (probe.format != PictureFormat::Unknown) appendJsonString(key(out, "format"), pictureFormatName(probe.format));
        else key(out, "format") += "null";
        const bool sized = probe.status == ImageProbeStatus::Read;
        for (const auto& [name, v] : {std::pair{"width", probe.width}, std::pair{"height", probe.height}})
            sized ? appendCount(key(out, name), static_cast<std::uint64_t>(v)) : void(key(out, name) += "null");
        out += '}';
    }
    out += ']';
}

}  // namespace

std::string infoLine(const MorvLValue& scene, const std::vector<std::string>& warnings) {
    const Fields f = scene.fields();
    std::string out = "{";
    appendJsonString(key(out, "file"), getStringField(f, "inputFile", ""));
    std::string format = getStringField(f, "inputFormat", "");
    if (format == "Unreal T3D") format = "Unreal.T3D";  // as --to names it
    appendJsonString(key(out, "format"), format);
    const MorvLValue mesh = requireField(f, "mesh");
    appendMesh(out, mesh);
    const auto [surfaces, images] = getSurfacesImages(scene);
    appendSurfaces(out, surfaces, stNames(mesh));
    appendPictures(out, images);
    key(out, "warnings") += '[';
    for (const std::string& w : warnings) appendJsonString(element(out), w);
    return out += "]}";
}

std::string infoProgressLine(const std::string&) { return {}; }

void writeInfo(const MorvLValue& scene, const std::string&, const ExportSettings& settings) {
    std::cout << infoLine(scene, recordedWarnings(settings.messages)) << '\n';
}

}  // namespace morv
