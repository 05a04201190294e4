// The RenderMan shading language as typed program trees: types, expressions,
// statements, function and shader definitions, the builders that make them,
// and the printer that writes a program as shader source. Programs are checked
// (ShadingLanguageChecker) before they are printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morv::SL {

enum class TypeTag : std::uint8_t { Void, String, Float, Vector, Normal, Triple, Color, Matrix, Point };

// color, matrix and point also carry the space they are expressed in ("" for
// the current space); two types are equal when their tags are.
struct Type {
    TypeTag tag = TypeTag::Void;
    std::string space;
    friend bool operator==(const Type& a, const Type& b) { return a.tag == b.tag; }
};
inline const Type voidType{TypeTag::Void, ""};
inline const Type stringType{TypeTag::String, ""};
inline const Type floatType{TypeTag::Float, ""};
inline const Type vectorType{TypeTag::Vector, ""};
inline const Type normalType{TypeTag::Normal, ""};
inline const Type tripleType{TypeTag::Triple, ""};
inline const Type colorType{TypeTag::Color, ""};
inline const Type matrixType{TypeTag::Matrix, ""};
inline const Type pointType{TypeTag::Point, ""};

// "void", "string", "float", ...
const char* typeName(const Type& type);

enum class Storage : std::uint8_t { Uniform, Varying };
const char* storageName(Storage storage);

enum class TextureFunction : std::uint8_t { Texture, Environment, Shadow };

struct Expr {
    enum class Kind : std::uint8_t { Variable, Negate, String, Real, TextureAccess, Call, Binary, Tuple, Cast, Conditional };
    Kind kind = Kind::Real;
    std::string text;  // variable or function name, operator symbol, string constant
    double real = 0.0;
    Type target;       // typecast target, texture access result type
    TextureFunction textureFunction = TextureFunction::Texture;
    int channel = 0;
    // Negate and Cast: the operand; Binary: left, right; Call and Tuple: the
    // elements; Conditional: condition, then, else; TextureAccess: the
    // texture name, then the coordinates.
    std::vector<Expr> operands;

    // Filled in by the checker.
    Type type;
    Storage storage = Storage::Uniform;
};

Expr variable(std::string name);
Expr negate(Expr operand);
Expr stringConstant(std::string text);
Expr real(double value);
Expr textureAccess(Type result, TextureFunction function, Expr textureName, int channel, std::vector<Expr> coordinates);
Expr call(std::string function, std::vector<Expr> arguments = {});
Expr binary(std::string op, Expr left, Expr right);
Expr assign(std::string target, Expr value);  // binary "=" with a variable on the left
Expr tuple(std::vector<Expr> elements);
Expr cast(Type target, Expr operand);
Expr conditional(Expr condition, Expr thenValue, Expr elseValue);

struct Stmt {
    enum class Kind : std::uint8_t {
        Declare, Expression, Return, If, While, For, Break, Continue, Solar, Illuminate, Illuminance
    };
    Kind kind = Kind::Expression;
    Type type;  // Declare
    Storage storage = Storage::Varying;
    std::string name;
    // Declare: the initialiser, if any; Expression and Return: the value;
    // If and While: the condition; For: initialiser, condition, step; the
    // light loops: their arguments.
    std::vector<Expr> exprs;
    std::vector<Stmt> body;
    std::vector<Stmt> elseBody;
    bool hasElse = false;
};

Stmt declare(Type type, Storage storage, std::string name, std::optional<Expr> init = std::nullopt);
Stmt expression(Expr e);
Stmt returnValue(Expr e);
Stmt ifThen(Expr condition, std::vector<Stmt> body);
Stmt ifThenElse(Expr condition, std::vector<Stmt> body, std::vector<Stmt> elseBody);
Stmt whileLoop(Expr condition, std::vector<Stmt> body);
Stmt forLoop(Expr init, Expr condition, Expr step, std::vector<Stmt> body);
Stmt breakStmt();
Stmt continueStmt();
Stmt lightLoop(Stmt::Kind kind, std::vector<Expr> arguments, std::vector<Stmt> body);

struct Formal {
    Type type;
    std::string name;
};

struct FunctionDef {
    Type result;
    std::string name;
    std::vector<Formal> formals;
    std::vector<Stmt> body;
};

enum class ShaderKind : std::uint8_t { Surface, Light, Displacement, Imager };
const char* shaderKindName(ShaderKind kind);

struct ShaderParam {
    Storage storage = Storage::Uniform;
    Type type;
    std::string name;
    std::optional<Expr> defaultValue;
};

struct ShaderDef {
    ShaderKind kind = ShaderKind::Surface;
    std::string name;
    std::vector<ShaderParam> params;
    std::vector<Stmt> body;
};

// The function definitions followed by exactly one shader (the checker
// refuses any other number).
struct Program {
    std::vector<FunctionDef> functions;
    std::vector<ShaderDef> shaders;
};

// Appends the program's source text to out. A real constant that is not a
// finite number raises Error: shader source has no text for it.
void print(const Program& program, std::string& out);

// A string constant as the language writes it: in double quotes, with "\\"
// for a backslash, "\"" for a double quote, "\n" and "\t" for a line feed and
// a tab, and every other byte below 0x20 and 0x7F as "\" and three octal
// digits. RIB strings follow the same rules.
std::string quoted(const std::string& text);
void appendQuoted(std::string& out, std::string_view text);

}  // namespace morv::SL
