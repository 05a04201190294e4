#include "exporters/renderman/ShaderGeneration.hpp"

#include <algorithm>

namespace morv::ShaderGeneration {

namespace {

using namespace SL;

std::string numbered(const char* name, int i) { return name + std::to_string(i); }

Expr textureLookup(const char* textureName) {
    return textureAccess(colorType, TextureFunction::Texture, variable(textureName), 0,
                         {variable("ss"), variable("tt")});
}

// The picture's t runs downwards (t = 0 is its top row); texture space and UV
// maps run upwards, so t is flipped.
Expr flippedT(Expr t) { return binary("-", real(1.0), std::move(t)); }

// color PlanarTextureMap(string textureName; point Psurf; string whichSpace; matrix xForm):
// the point in whichSpace, moved into texture space by xForm; its x and y
// are the picture's s and t.
FunctionDef planarTextureMap() {
    FunctionDef f{colorType, "PlanarTextureMap",
                  {{stringType, "textureName"}, {pointType, "Psurf"}, {stringType, "whichSpace"}, {matrixType, "xForm"}},
                  {}};
    f.body.push_back(declare(pointType, Storage::Varying, "Pbug", call("transform", {variable("whichSpace"), variable("Psurf")})));
    f.body.push_back(declare(pointType, Storage::Varying, "Pproj", call("transform", {variable("xForm"), variable("Pbug")})));
    f.body.push_back(declare(floatType, Storage::Varying, "ss", call("xcomp", {variable("Pproj")})));
    f.body.push_back(declare(floatType, Storage::Varying, "tt", flippedT(call("ycomp", {variable("Pproj")}))));
    f.body.push_back(returnValue(textureLookup("textureName")));
    return f;
}

// color UVTextureMap(string textureName; float sCoord; float tCoord).
FunctionDef uvTextureMap() {
    FunctionDef f{colorType, "UVTextureMap", {{stringType, "textureName"}, {floatType, "sCoord"}, {floatType, "tCoord"}}, {}};
    f.body.push_back(declare(floatType, Storage::Varying, "ss", variable("sCoord")));
    f.body.push_back(declare(floatType, Storage::Varying, "tt", flippedT(variable("tCoord"))));
    f.body.push_back(returnValue(textureLookup("textureName")));
    return f;
}

Expr lookupCall(const TextureLookup& t, int index) {
    const std::string name = numbered("textureName", index);
    if (t.planar)
        return call("PlanarTextureMap", {variable(name), variable("P"), stringConstant(t.space),
                                         variable(numbered("xForm", index))});
    return call("UVTextureMap", {variable(name), variable(numbered("s", t.stIndex)), variable(numbered("t", t.stIndex))});
}

// Declares name with value the first time, assigns it afterwards.
Stmt setLocal(bool& declared, Type type, const char* name, Expr value) {
    if (declared) return expression(assign(name, std::move(value)));
    declared = true;
    return declare(std::move(type), Storage::Varying, name, std::move(value));
}

class ShaderBuilder {
public:
    explicit ShaderBuilder(const SurfaceShader& s) : s_(s) {}

    Program build() {
        Program program;
        const bool planar = std::any_of(s_.lookups.begin(), s_.lookups.end(), [](const auto& t) { return t.planar; });
        const bool uv = std::any_of(s_.lookups.begin(), s_.lookups.end(), [](const auto& t) { return !t.planar; });
        if (planar) program.functions.push_back(planarTextureMap());
        if (uv) program.functions.push_back(uvTextureMap());

        ShaderDef shader;
        shader.kind = ShaderKind::Surface;
        shader.name = s_.name;
        shader.params = parameters();
        placements();
        bump();
        lighting();
        program.shaders.push_back(std::move(shader));
        program.shaders.back().body = std::move(body_);
        return program;
    }

private:
    std::vector<ShaderParam> parameters() const {
        std::vector<ShaderParam> params{
            {Storage::Uniform, floatType, "Kd", real(s_.kd)},
            {Storage::Uniform, floatType, "Ks", real(s_.ks)},
            {Storage::Uniform, floatType, "luminosity", real(s_.luminosity)},
        };
        for (std::size_t i = 0; i < s_.lookups.size(); ++i)
            params.push_back({Storage::Uniform, stringType, numbered("textureName", static_cast<int>(i)),
                              stringConstant(s_.lookups[i].textureFile)});
        for (int set : coordinateSets(s_)) {
            params.push_back({Storage::Varying, floatType, numbered("s", set), real(0.0)});
            params.push_back({Storage::Varying, floatType, numbered("t", set), real(0.0)});
        }
        return params;
    }

    // Each planar lookup's matrix, as a uniform local of its own.
    void placements() {
        for (std::size_t i = 0; i < s_.lookups.size(); ++i) {
            const TextureLookup& t = s_.lookups[i];
            if (!t.planar) continue;
            std::vector<Expr> elements;
            for (double v : t.xForm) elements.push_back(real(v));
            body_.push_back(declare(matrixType, Storage::Uniform, numbered("xForm", static_cast<int>(i)), tuple(std::move(elements))));
        }
    }

    // Each bump lookup moves the point along the normal by its first channel
    // times its strength; the shading normal is that of the moved surface.
    void bump() {
        bool bumped = false, looked = false;
        for (std::size_t i = 0; i < s_.lookups.size(); ++i) {
            const TextureLookup& t = s_.lookups[i];
            if (t.channel != Channel::Bump) continue;
            body_.push_back(setLocal(looked, colorType, "bumpColor", lookupCall(t, static_cast<int>(i))));
            Expr displacement = binary("*", binary("*", call("comp", {variable("bumpColor"), real(0.0)}), real(t.value)),
                                       call("normalize", {variable("N")}));
            Expr from = bumped ? variable("bumpedP") : variable("P");
            body_.push_back(setLocal(bumped, pointType, "bumpedP", binary("-", std::move(from), std::move(displacement))));
        }
        Expr normal = bumped ? call("calculatenormal", {variable("bumpedP")}) : variable("N");
        body_.push_back(declare(normalType, Storage::Varying, "Nn", call("normalize", {std::move(normal)})));
        body_.push_back(declare(normalType, Storage::Varying, "Nnf", call("faceforward", {variable("Nn"), variable("I")})));
    }

    // base, or base mixed with the first channel of every lookup of channel c.
    Expr channelValue(Channel c, Expr base) const {
        for (std::size_t i = 0; i < s_.lookups.size(); ++i) {
            const TextureLookup& t = s_.lookups[i];
            if (t.channel != c) continue;
            Expr looked = call("comp", {lookupCall(t, static_cast<int>(i)), real(0.0)});
            base = call("mix", {std::move(base), std::move(looked), real(t.value)});
        }
        return base;
    }

    // Ci = colour * (ambient + Kd * diffuse + luminosity) + specular, then the
    // opacity: Oi = Os, Ci = Ci * Oi.
    void lighting() {
        Expr view = negate(call("normalize", {variable("I")}));
        Expr specular = call("specular", {variable("Nnf"), std::move(view), real(roughness)});
        body_.push_back(declare(colorType, Storage::Varying, "specColor",
                                binary("*", channelValue(Channel::Specularity, variable("Ks")), std::move(specular))));

        bool transDeclared = false;
        for (std::size_t i = 0; i < s_.lookups.size(); ++i) {
            const TextureLookup& t = s_.lookups[i];
            if (t.channel != Channel::Transparency) continue;
            body_.push_back(setLocal(transDeclared, colorType, "transColor", lookupCall(t, static_cast<int>(i))));
            body_.push_back(expression(assign(
                "Os", call("mix", {variable("Os"), binary("-", real(1.0), variable("transColor")), real(t.value)}))));
        }

        Expr colour = variable("Cs");
        for (std::size_t i = 0; i < s_.lookups.size(); ++i) {
            const TextureLookup& t = s_.lookups[i];
            if (t.channel == Channel::Color)
                colour = call("mix", {std::move(colour), lookupCall(t, static_cast<int>(i)), real(t.value)});
        }
        Expr diffuse = binary("*", channelValue(Channel::Diffusion, variable("Kd")), call("diffuse", {variable("Nnf")}));
        Expr light = binary("+", binary("+", call("ambient"), std::move(diffuse)),
                            channelValue(Channel::Luminosity, variable("luminosity")));
        body_.push_back(expression(
            assign("Ci", binary("+", binary("*", std::move(colour), std::move(light)), variable("specColor")))));
        body_.push_back(expression(assign("Oi", variable("Os"))));
        body_.push_back(expression(assign("Ci", binary("*", variable("Ci"), variable("Oi")))));
    }

    const SurfaceShader& s_;
    std::vector<Stmt> body_;
};

}  // namespace

SL::Program buildSurfaceShader(const SurfaceShader& surface) { return ShaderBuilder(surface).build(); }

std::vector<int> coordinateSets(const SurfaceShader& surface) {
    std::vector<int> sets;
    for (const TextureLookup& t : surface.lookups)
        if (!t.planar) sets.push_back(t.stIndex);
    std::sort(sets.begin(), sets.end());
    sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
    return sets;
}

}  // namespace morv::ShaderGeneration
