#include "exporters/renderman/RenderManInterface.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "exporters/renderman/ShadingLanguage.hpp"

namespace morv::RI {

namespace {

const char* const standardTokens[] = {
    "P", "Pw", "Pz", "Pref", "N", "Np", "Cs", "Os", "st", "s", "t", "Ka", "Kd", "Ks", "Kr", "roughness",
    "texturename", "specularcolor", "periodic", "nonperiodic", "black", "clamp", "bilinear", "bicubic", "linear",
    "cubic", "width", "constantwidth", "fov", "intensity", "lightcolor", "from", "to", "coneangle",
    "conedeltaangle", "beamdistribution", "flatness", "constant", "smooth", "file", "framebuffer", "rgb", "rgba",
    "rgbz", "rgbaz", "a", "z", "az", "hidden", "paint", "null", "perspective", "orthographic", "ambientlight",
    "distantlight", "pointlight", "spotlight", "matte", "metal", "shinymetal", "plastic", "paintedplastic",
    "depthcue", "fog", "bumpy", "mindistance", "maxdistance", "background", "distance", "amplitude", "raster",
    "screen", "camera", "world", "object", "NDC", "catmull-clark", "hole", "crease", "corner",
    "interpolateboundary", "primitive", "intersection", "union", "difference", "comment", "structure", "verbatim",
    "inside", "outside", "lh", "rh", "identifier", "name", "shadinggroup", "abort", "ignore", "print", "abort",
    "DelayedReadArchive", "RunProgram", "DynamicLoad", "ProcFree", "gaussian", "catmull-rom", "sinc", "triangle",
    "box"};

// A soft space breaks the line once it reaches this column.
constexpr std::int32_t breakColumn = 61;

[[noreturn]] void notOpen(const char* procedure) {
    throw EGeneric(false, "Error", std::string("ERROR in RIB generator: No RIB file is open! (") + procedure + ")\n");
}

}  // namespace

TokenTable::TokenTable() {
    for (const char* name : standardTokens) add(name);
}

const Token& TokenTable::add(std::string_view name) {
    auto it = index_.find(std::string(name));
    if (it != index_.end()) return tokens_[it->second];
    tokens_.push_back(Token{std::string(name), static_cast<std::int32_t>(tokens_.size())});
    index_.emplace(std::string(name), tokens_.size() - 1);
    return tokens_.back();
}

const Token* TokenTable::find(std::string_view name) const {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &tokens_[it->second];
}

Value Value::ofReal(double v) {
    Value value;
    value.kind = Kind::Real;
    value.real = v;
    return value;
}
Value Value::ofString(std::string s) {
    Value value;
    value.kind = Kind::String;
    value.text = std::move(s);
    return value;
}
Value Value::ofPoint(const XYZ& p) {
    Value value;
    value.kind = Kind::Point;
    value.point = p;
    return value;
}
Value Value::realArray(std::vector<double> values) {
    Value value;
    value.kind = Kind::RealArray;
    value.reals = [values = std::move(values)](const RealSink& sink) {
        for (double v : values) sink(v);
    };
    return value;
}
Value Value::realList(RealSource source) {
    Value value;
    value.kind = Kind::RealList;
    value.reals = std::move(source);
    return value;
}
Value Value::pointList(PointSource source) {
    Value value;
    value.kind = Kind::PointList;
    value.points = std::move(source);
    return value;
}

// ---- Output procedures ----

const Writer::Procedures Writer::working = {
    [](Writer& w, std::string_view text) {
        w.out_->append(text);
        w.column_ += static_cast<std::int32_t>(text.size());
    },
    [](Writer& w) {
        w.out_->push_back('\n');
        w.column_ = 0;
        if (w.afterLine_) w.afterLine_();
    },
    [](Writer& w) {
        w.out_->push_back(' ');
        if (++w.column_ >= breakColumn) {
            w.out_->push_back('\n');
            w.column_ = 0;
            if (w.afterLine_) w.afterLine_();
        }
    },
    [](Writer& w) { return ++w.lights_; },
};

const Writer::Procedures Writer::failing = {
    [](Writer&, std::string_view) { notOpen("outF"); },
    [](Writer&) { notOpen("outNLF"); },
    [](Writer&) { notOpen("outSPF"); },
    [](Writer&) -> std::int32_t { notOpen("countF"); },
};

Writer::Writer() : procedures_(failing) {}

void Writer::begin(std::string& out, std::function<void()> afterLine) {
    out_ = &out;
    afterLine_ = std::move(afterLine);
    column_ = 0;
    lights_ = 0;
    procedures_ = working;
    outF("version 3.03");
    outNLF();
}

void Writer::end() {
    if (!out_) throw EGeneric(false, "Error", "No RIB file has been opened! (End)\n");
    out_ = nullptr;
    afterLine_ = nullptr;
    procedures_ = failing;
}

const Token& Writer::token(std::string_view name) const {
    const Token* t = tokens_.find(name);
    if (!t)
        throw Bug("Internal error: token " + std::string(name) +
                  " is used before it was declared in RenderManInterface.token\n");
    return *t;
}

// ---- Number and string text ----

void Writer::integer(std::int64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    outF(std::string_view(text, static_cast<std::size_t>(end - text)));
}

void Writer::real(double value) {
    if (!std::isfinite(value))
        throw Error("The number " + realToText(value) + " cannot be written to a RIB file: RIB has no text for it");
    char text[maxRealText];
    outF(std::string_view(text, static_cast<std::size_t>(formatReal(value, text, '-') - text)));
}

// Escaped as the shading language escapes, so that a Windows path such as
// C:\new\tex.tif, or a name holding a line break, reads back as written.
void Writer::quotedString(std::string_view text) {
    scratch_.clear();
    SL::appendQuoted(scratch_, text);
    outF(scratch_);
}

// ---- Parameter lists ----

void Writer::value(const Value& v) {
    switch (v.kind) {
        case Value::Kind::Real:
            real(v.real);
            return;
        case Value::Kind::String:
            quotedString(v.text);
            return;
        case Value::Kind::Point:
            real(v.point.x);
            outSPF();
            real(v.point.y);
            outSPF();
            real(v.point.z);
            return;
        case Value::Kind::RealArray:
        case Value::Kind::RealList: {
            auto element = [this](double r) {
                outSPF();
                real(r);
            };
            v.reals(RealSink(element));
            return;
        }
        case Value::Kind::PointList: {
            auto element = [this](const XYZ& p) {
                outSPF();
                real(p.x);
                outSPF();
                real(p.y);
                outSPF();
                real(p.z);
            };
            v.points(PointSink(element));
            return;
        }
    }
}

void Writer::parameterList(const ParamList& params) {
    for (const Param& p : params) {
        outSPF();
        quotedString(p.token->name);
        outSPF();
        outF("[");
        value(p.value);
        outF("]");
    }
}

void Writer::integerList(const IntSource& source) {
    outF("[");
    auto element = [this](std::int64_t v) {
        outSPF();
        integer(v);
    };
    source(IntSink(element));
    outF("]");
}

void Writer::threeReals(const Color& c) {
    outSPF();
    outF("[");
    for (double v : {c.r, c.g, c.b}) {
        outSPF();
        real(v);
    }
    outF("]");
    outNLF();
}

// ---- Requests ----

void Writer::lightSource(std::string_view shader, const ParamList& params) {
    outF("LightSource");
    outSPF();
    quotedString(shader);
    outSPF();
    integer(countF());
    parameterList(params);
    outNLF();
}

void Writer::format(std::int32_t width, std::int32_t height, double aspect) {
    outF("Format ");
    integer(width);
    outF(" ");
    integer(height);
    outF(" ");
    real(aspect);
    outNLF();
}

void Writer::projection(std::string_view name, const ParamList& params) {
    outF("Projection");
    outSPF();
    quotedString(name);
    parameterList(params);
    outNLF();
}

void Writer::wordRequest(const char* word) {
    outF(word);
    outNLF();
}

void Writer::frameBegin(std::int32_t frame) {
    outF("FrameBegin ");
    integer(frame);
    outNLF();
}

void Writer::worldBegin() { wordRequest("WorldBegin"); }

void Writer::transformBegin() { wordRequest("TransformBegin"); }

void Writer::translate(double z) {
    outF("Translate ");
    outF("0.0");
    outSPF();
    outF("0.0");
    outSPF();
    real(z);
    outNLF();
}

void Writer::rotate(double angle, double a, double b) {
    outF("Rotate ");
    real(angle);
    outSPF();
    real(a);
    outSPF();
    real(b);
    outSPF();
    outF("0.0");
    outNLF();
}

void Writer::scale(double x, double y, double z) {
    outF("Scale ");
    real(x);
    outSPF();
    real(y);
    outSPF();
    real(z);
    outNLF();
}

const Token& Writer::declare(std::string_view name, std::string_view type) {
    outF("Declare");
    outSPF();
    quotedString(name);
    outSPF();
    quotedString(type);
    outNLF();
    return tokens_.add(name);
}

void Writer::color(const Color& c) {
    outF("Color");
    threeReals(c);
}

void Writer::opacity(const Color& c) {
    outF("Opacity");
    threeReals(c);
}

void Writer::surface(std::string_view shader, const ParamList& params) {
    outF("Surface");
    outSPF();
    quotedString(shader);
    parameterList(params);
    outNLF();
}

void Writer::makeTexture(std::string_view picture, std::string_view texture, const Token& swrap, const Token& twrap,
                         const Token& filter, double swidth, double twidth, const ParamList& params) {
    outF("MakeTexture");
    for (std::string_view text : {picture, texture, std::string_view(swrap.name), std::string_view(twrap.name),
                                  std::string_view(filter.name)}) {
        outSPF();
        quotedString(text);
    }
    outSPF();
    real(swidth);
    outSPF();
    real(twidth);
    parameterList(params);
    outNLF();
}

void Writer::pointsGeneralPolygons(const IntSource& nloops, const IntSource& nverts, const IntSource& verts,
                                   const ParamList& params) {
    outF("PointsGeneralPolygons ");
    integerList(nloops);
    outF(" ");
    integerList(nverts);
    outF(" ");
    integerList(verts);
    parameterList(params);
    outNLF();
}

void Writer::subdivisionMesh(const Token& scheme, const IntSource& nverts, const IntSource& verts,
                             const std::vector<Tag>& tags, const ParamList& params) {
    outF("SubdivisionMesh");
    outSPF();
    quotedString(scheme.name);
    outSPF();
    integerList(nverts);
    outF(" ");
    integerList(verts);
    outF(" [");
    for (const Tag& tag : tags) {
        outSPF();
        quotedString(tag.name->name);
    }
    outF("] ");
    integerList([&tags](const IntSink& sink) {
        for (const Tag& tag : tags) {
            sink(static_cast<std::int64_t>(tag.ints.size()));
            sink(0);
        }
    });
    outF(" ");
    integerList([&tags](const IntSink& sink) {
        for (const Tag& tag : tags)
            for (std::uint32_t v : tag.ints) sink(v);
    });
    outF(" []");
    parameterList(params);
    outNLF();
}

void Writer::transformEnd() { wordRequest("TransformEnd"); }

void Writer::worldEnd() { wordRequest("WorldEnd"); }

void Writer::frameEnd() { wordRequest("FrameEnd"); }

}  // namespace morv::RI
