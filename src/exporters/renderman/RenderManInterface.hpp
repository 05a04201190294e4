// The RenderMan Interface layer of the RIB writer: the writer state (column
// and light counters, token table), the four output procedures outF, outNLF,
// outSPF and countF, which fail while no file is open, parameter lists, and
// one procedure per RIB request. Requests write only through the four
// procedures; lines are broken after a soft space that reaches column 61.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::RI {

struct Token {
    std::string name;
    std::int32_t serial;
};

// Token names the writer knows: the standard names, registered at set-up in a
// fixed order, and every name given to Declare.
class TokenTable {
public:
    TokenTable();
    // Registers name; a name already present returns its existing entry.
    const Token& add(std::string_view name);
    const Token* find(std::string_view name) const;
    std::size_t size() const { return tokens_.size(); }

private:
    std::deque<Token> tokens_;  // entries keep their addresses
    std::unordered_map<std::string, std::size_t> index_;
};

// Long lists are handed over as sources that call a sink once per element in
// order, so that the mesh is written without being copied. A sink is a
// reference to the writer's own element procedure, called without allocation.
template <class T>
class Sink {
public:
    template <class F>
    explicit Sink(F& f) : self_(&f), call_([](void* self, T v) { (*static_cast<F*>(self))(v); }) {}
    void operator()(T v) const { call_(self_, v); }

private:
    void* self_;
    void (*call_)(void*, T);
};
using RealSink = Sink<double>;
using RealSource = std::function<void(const RealSink&)>;
using PointSink = Sink<const XYZ&>;
using PointSource = std::function<void(const PointSink&)>;
using IntSink = Sink<std::int64_t>;
using IntSource = std::function<void(const IntSink&)>;

struct Value {
    enum class Kind : std::uint8_t { Real, String, Point, RealArray, RealList, PointList };
    Kind kind = Kind::Real;
    double real = 0.0;
    std::string text;
    XYZ point{};
    RealSource reals;
    PointSource points;

    static Value ofReal(double v);
    static Value ofString(std::string s);
    static Value ofPoint(const XYZ& p);
    static Value realArray(std::vector<double> values);
    static Value realList(RealSource source);
    static Value pointList(PointSource source);
};

struct Param {
    const Token* token;
    Value value;
};
using ParamList = std::vector<Param>;

class Writer {
public:
    Writer();  // closed: the output procedures fail

    // The begin request: output goes to out from now on, afterLine() is called
    // after every line break (a file writer flushes there), and the line
    // "version 3.03" is written. Counters start at 0.
    void begin(std::string& out, std::function<void()> afterLine = {});
    // The end request: the failing procedures are put back. Raises EGeneric
    // "No RIB file has been opened! (End)\n" when nothing was begun.
    void end();

    // The output procedures. While closed each raises EGeneric (type "Error")
    // "ERROR in RIB generator: No RIB file is open! (outF)\n" (and likewise).
    void outF(std::string_view text) { procedures_.outF(*this, text); }
    void outNLF() { procedures_.outNLF(*this); }
    void outSPF() { procedures_.outSPF(*this); }
    std::int32_t countF() { return procedures_.countF(*this); }
    std::int32_t column() const { return column_; }

    // A token the table holds; an unknown name is a fault of the writer (Bug).
    const Token& token(std::string_view name) const;

    // Number and string text through outF. A real that is not finite raises
    // Error: RIB has no text for it.
    void integer(std::int64_t value);
    void real(double value);
    void quotedString(std::string_view text);

    // Requests.
    void lightSource(std::string_view shader, const ParamList& params);
    void format(std::int32_t width, std::int32_t height, double aspect);
    void projection(std::string_view name, const ParamList& params);
    void frameBegin(std::int32_t frame);
    void worldBegin();
    void transformBegin();
    void translate(double z);
    void rotate(double angle, double a, double b);
    void scale(double x, double y, double z);
    const Token& declare(std::string_view name, std::string_view type);
    void color(const Color& c);
    void opacity(const Color& c);
    void surface(std::string_view shader, const ParamList& params);
    void makeTexture(std::string_view picture, std::string_view texture, const Token& swrap, const Token& twrap,
                     const Token& filter, double swidth, double twidth, const ParamList& params);
    void pointsGeneralPolygons(const IntSource& nloops, const IntSource& nverts, const IntSource& verts,
                               const ParamList& params);
    // A SubdivisionMesh tag with its integer arguments ("hole": face numbers).
    struct Tag {
        const Token* name;
        std::vector<std::uint32_t> ints;
    };
    // SubdivisionMesh scheme [nverts] [verts] [tags] [nargs] [intargs] []
    // params; nargs holds each tag's integer count and 0 floats.
    void subdivisionMesh(const Token& scheme, const IntSource& nverts, const IntSource& verts,
                         const std::vector<Tag>& tags, const ParamList& params);
    void transformEnd();
    void worldEnd();
    void frameEnd();

private:
    struct Procedures {
        void (*outF)(Writer&, std::string_view);
        void (*outNLF)(Writer&);
        void (*outSPF)(Writer&);
        std::int32_t (*countF)(Writer&);
    };
    static const Procedures working;
    static const Procedures failing;

    void parameterList(const ParamList& params);
    void value(const Value& v);
    void integerList(const IntSource& source);
    void threeReals(const Color& c);
    // A request that is one word on its own line.
    void wordRequest(const char* word);

    Procedures procedures_;
    std::string* out_ = nullptr;
    std::function<void()> afterLine_;
    std::int32_t column_ = 0;
    std::int32_t lights_ = 0;
    TokenTable tokens_;
    std::string scratch_;  // string text before it goes out
};

}  // namespace morv::RI
