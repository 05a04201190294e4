// The shading-language checker stops every wrong program with its message and
// accepts every shader the generator builds; the printer writes every form.
#include "exporters/renderman/ShadingLanguage.hpp"

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"
#include "exporters/renderman/ShaderGeneration.hpp"
#include "exporters/renderman/ShadingLanguageChecker.hpp"

namespace morv {
namespace {

using namespace SL;

ShaderDef surfaceShader(std::string name, std::vector<Stmt> body = {}, std::vector<ShaderParam> params = {}) {
    return ShaderDef{ShaderKind::Surface, std::move(name), std::move(params), std::move(body)};
}

Program shader(std::vector<Stmt> body, std::vector<ShaderParam> params = {}, std::vector<FunctionDef> functions = {}) {
    return Program{std::move(functions), {surfaceShader("s1", std::move(body), std::move(params))}};
}

Program withFunction(Type result, std::string name, std::vector<Formal> formals, std::vector<Stmt> body) {
    return shader({}, {}, {FunctionDef{std::move(result), std::move(name), std::move(formals), std::move(body)}});
}

Stmt local(Type type, const std::string& name, Expr init) { return declare(std::move(type), Storage::Varying, name, std::move(init)); }

std::vector<Expr> reals(std::size_t n) { return std::vector<Expr>(n, real(1.0)); }

// One tree per rule the checker enforces, each breaking that rule only.
TEST(ShadingLanguageChecker, StopsEveryBrokenProgramWithItsMessage) {
    const FunctionDef f{floatType, "f", {}, {returnValue(real(1))}};
    const Stmt matrix = local(matrixType, "m", tuple(reals(16)));
    const std::string badName = " (a name is letters, digits and _, does not start with a digit and is not a reserved word)";
    const struct {
        Program program;
        std::string message;
    } cases[] = {
        {shader({}, {}, {f, f}), "Duplicate definition of function f"},
        {withFunction(floatType, "mix", {}, {returnValue(real(1))}), "Duplicate definition of function mix"},  // built-in
        {Program{{f}, {}}, "No shader defined!"},
        {Program{{}, {surfaceShader("s1"), surfaceShader("s2")}}, "Only one shader can be defined at a time!"},
        {shader({}, {{Storage::Uniform, stringType, "textureName", stringConstant("a.tex")},
                     {Storage::Uniform, stringType, "textureName", stringConstant("b.tex")}}),
         "Duplicate variable name: textureName"},
        {shader({local(pointType, "P", variable("E"))}), "Duplicate variable name: P"},  // a global
        {shader({local(floatType, "x", variable("Q"))}), "Undefined variable: Q"},
        {shader({local(floatType, "x", variable("width"))}), "Undefined variable: width"},  // no global of surfaces
        {withFunction(pointType, "f", {}, {returnValue(variable("P"))}), "Undefined variable: P"},  // nor of functions
        {shader({local(floatType, "x", variable("Cs"))}), "Expression initializing variable x is not of expected type!"},
        {shader({expression(call("nosuch"))}), "Undefined function: nosuch"},
        {withFunction(floatType, "f", {}, {returnValue(call("f"))}), "Internal error: Missing function f in symbol table!"},
        {shader({expression(call("diffuse"))}),
         "Length of argumentlist in call to function diffuse does not agree with function definition!"},
        {shader({expression(call("diffuse", {variable("Cs")}))}),
         "Invalid argument type in call to function diffuse!\nFunction specifies formal parameter type normal while the "
         "actual argument type is color"},
        {shader({expression(call("xcomp", {variable("Cs")}))}),
         "Unresolved overloading for function xcomp\nArguments for function must have types:\n(point)\nor types "
         "(vector)\nor types (normal)"},
        {shader({matrix, expression(call("transform", {stringConstant("object"), variable("m"), variable("P")}))}),
         "Unresolved overloading for function transform\nArguments for function must have types:\n(string, point)\nor "
         "types (string, string, point)\nor types (matrix, point)"},
        {shader({local(colorType, "c", tuple(reals(2)))}), "Tuples must have either 1, 3 or 16 elements!"},
        {shader({expression(tuple(reals(4)))}), "Tuples must have either 1, 3 or 16 elements!"},
        {shader({local(floatType, "x", tuple(reals(3)))}), "Type does not match type-constraint!"},
        {shader({local(tripleType, "x", tuple(reals(3)))}), "Type cannot match type-constraint!"},
        {shader({expression(cast(tripleType, tuple(reals(3))))}), "Cannot typecast to a triple type!"},
        {shader({expression(binary("+", variable("Cs"), variable("P")))}), "Incompatiple types of operands for operator: +"},
        {shader({expression(binary("+", stringConstant("a"), stringConstant("b")))}), "Operator + not allowed for strings!"},
        {shader({expression(binary(".", real(1), real(2)))}), "Operator . not allowed for floats!"},
        {shader({expression(binary("<", variable("P"), variable("P")))}), "Operator < not allowed for points!"},
        {shader({expression(binary("^", variable("Cs"), variable("Os")))}), "Operator ^ not allowed for colors!"},
        {shader({matrix, expression(binary("+", variable("m"), variable("m")))}), "Operator + not allowed for matrices!"},
        {shader({expression(assign("Ci", call("g")))}, {}, {FunctionDef{voidType, "g", {}, {}}}),
         "Assignment only allowed for types matrix, color, point, vector, normal, float and string!\n"},
        {shader({local(floatType, "x", real(0)), expression(assign("x", variable("Cs")))}),
         "Attempting to assign (using operator = ) a value of type color to an lvalue of type float"},
        {shader({local(floatType, "x", real(0)), expression(binary("+=", variable("x"), variable("Cs")))}),
         "Attempting to assign (using operator += ) a value of type color to an lvalue of type float where a resulting "
         "type of float is expected"},
        {shader({returnValue(real(1))}), "Return statements are only allowed in function definitions"},
        {withFunction(floatType, "f", {{colorType, "c"}}, {returnValue(variable("c"))}),
         "The type of the return statement is not of the same type as the result defined for the function!"},
        {withFunction(floatType, "f", {}, {returnValue(real(1)), local(floatType, "x", real(2))}),
         "A return statement must be the last statement of function f"},
        {withFunction(floatType, "f", {{floatType, "a"}},
                      {ifThen(binary("<", variable("a"), real(0)), {returnValue(real(0))}), returnValue(variable("a"))}),
         "A return statement must be the last statement of function f"},
        {withFunction(floatType, "f", {}, {}), "Function f must end with a return statement"},
        {shader({declare(floatType, Storage::Uniform, "x", variable("s"))}),
         "Cannot assign a varying value to the uniform variable x"},
        {shader({expression(assign("Kd", variable("u")))}, {{Storage::Uniform, floatType, "Kd", real(1)}}),
         "Cannot assign a varying value to the uniform variable Kd"},
        {shader({expression(assign("I", variable("N")))}), "Cannot assign to the read-only variable I"},
        {withFunction(voidType, "f", {{floatType, "ss"}}, {expression(assign("ss", real(1)))}),
         "Cannot assign to the formal parameter ss of function f: a function hands its result back with return"},
        {shader({}, {{Storage::Uniform, floatType, "Kd", std::nullopt}}), "Shader parameter Kd has no default value"},
        {Program{{}, {surfaceShader("Wood 2")}}, "Invalid shader name: Wood 2" + badName},
        {Program{{}, {surfaceShader("color")}}, "Invalid shader name: color" + badName},
        {Program{{}, {surfaceShader("2ndCoat")}}, "Invalid shader name: 2ndCoat" + badName},
        {shader({breakStmt()}), "break is only allowed inside a loop"},
        {shader({expression(textureAccess(colorType, TextureFunction::Texture, stringConstant("a.tex"), 0,
                                          {variable("P"), variable("P")}))}),
         "Invalid coordinate type in a texture access: point"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Program p = c.program;
        EXPECT_THROW_MSG(check(p), EGeneric, c.message);
    }
}

// Every combination of texture channels and projections the generator builds passes the checker.
TEST(ShadingLanguageChecker, AcceptsEveryShaderTheGeneratorBuilds) {
    using ShaderGeneration::Channel;
    for (Channel channel : {Channel::Color, Channel::Diffusion, Channel::Specularity, Channel::Luminosity,
                            Channel::Transparency, Channel::Bump})
        for (bool planar : {false, true}) {
            ShaderGeneration::TextureLookup t;
            t.channel = channel;
            t.planar = planar;
            t.stIndex = 2;
            t.textureFile = "C:\\pics\\a.tif.tex";
            ShaderGeneration::SurfaceShader s{"Mixed", 1.0, 0.0, 0.0, {t, t}};  // twice: locals declared once, then assigned
            Program p = ShaderGeneration::buildSurfaceShader(s);
            EXPECT_NO_THROW(check(p)) << static_cast<int>(channel) << planar;
            std::string text;
            print(p, text);
            EXPECT_NE(text.find("textureName1 = \"C:\\\\pics\\\\a.tif.tex\""), std::string::npos) << text;
            EXPECT_NE(text.find("  Oi = Os;\n  Ci = (Ci * Oi);\n}\n"), std::string::npos) << text;
        }
}

TEST(ShadingLanguagePrinter, WritesEveryFormFullyParenthesisedAndNoNumberWithoutText) {
    Program p = shader(
        {local(floatType, "x", tuple({real(-0.25)})),
         ifThenElse(binary("<", variable("x"), real(0)), {expression(assign("x", negate(variable("x"))))},
                    {expression(assign("x", conditional(binary(">", variable("x"), real(1)), real(1), variable("x"))))}),
         whileLoop(binary(">", variable("x"), real(1e-05)), {expression(binary("*=", variable("x"), real(0.5))), breakStmt()}),
         forLoop(assign("x", real(0)), binary("<", variable("x"), real(3)), binary("+=", variable("x"), real(1)),
                 {continueStmt()}),
         expression(assign("Ci", cast(colorType, tuple({variable("x"), real(0), real(1.5e20)})))),
         expression(assign("Oi", textureAccess(colorType, TextureFunction::Texture, stringConstant("a\"b.tex"), 1,
                                               {variable("s"), variable("t")})))},
        {{Storage::Uniform, stringType, "name", stringConstant("C:\\x")}},
        {FunctionDef{floatType, "half", {{floatType, "a"}, {stringType, "b"}}, {returnValue(binary("/", variable("a"), real(2)))}}});
    check(p);
    std::string text;
    print(p, text);
    EXPECT_EQ(text,
              "float half (float a; string b)\n{\n  return (a / 2);\n}\n\n"
              "surface s1 (uniform string name = \"C:\\\\x\")\n{\n"
              "  varying float x = (-0.25);\n"  // a tuple of one
              "  if((x < 0.0))\n  {\n    x = (-x);\n  }\n  else\n  {\n    x = (((x > 1)) ? (1) : (x));\n  }\n"
              "  while((x > 1e-05))\n  {\n    x *= 0.5;\n    break;\n  }\n"
              "  for(x = 0.0; (x < 3); x += 1)\n  {\n    continue;\n  }\n"
              "  Ci = color (x, 0.0, 1.5e+20);\n"
              "  Oi = (color texture(\"a\\\"b.tex\"[1], s, t));\n"
              "}\n\n");
    Program nan = shader({local(floatType, "x", real(std::numeric_limits<double>::quiet_NaN()))});
    EXPECT_THROW_MSG(print(nan, text), Error, "The number nan cannot be written to a shader: the shading language has no text for it");
}

}  // namespace
}  // namespace morv
