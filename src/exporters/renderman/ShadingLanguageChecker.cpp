#include "exporters/renderman/ShadingLanguageChecker.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Excn.hpp"

namespace morv::SL {

namespace {

[[noreturn]] void fail(std::string message) { throw EGeneric(false, "Error", std::move(message)); }

constexpr std::array<std::string_view, 38> reservedWords = {
    "atmosphere",  "break",       "bump",     "color",       "continue",    "displacement",   "else",
    "environment", "extern",      "float",    "for",         "gather",      "if",             "illuminance",
    "illuminate",  "imager",      "incident", "light",       "lightsource", "matrix",         "normal",
    "opposite",    "output",      "point",    "return",      "shadow",      "solar",          "string",
    "surface",     "texture",     "textureinfo", "transformation", "uniform", "varying",      "vector",
    "void",        "volume",      "while"};

bool isSpatial(TypeTag t) {
    return t == TypeTag::Point || t == TypeTag::Vector || t == TypeTag::Normal || t == TypeTag::Triple;
}

// Whether a value of type from may stand where type to is expected: the same
// type; an untyped triple for any three-component type; and points, vectors
// and normals for one another, as the language converts them.
bool fits(const Type& from, const Type& to) {
    if (from == to) return true;
    if (from.tag == TypeTag::Triple)
        return to.tag == TypeTag::Color || (isSpatial(to.tag) && to.tag != TypeTag::Triple);
    return isSpatial(from.tag) && isSpatial(to.tag) && to.tag != TypeTag::Triple;
}

bool isAssignment(const std::string& op) { return op == "=" || op == "+=" || op == "-=" || op == "*=" || op == "/="; }

std::string notAllowed(const std::string& op, TypeTag t) {
    const char* what = " not allowed for points!";
    switch (t) {
        case TypeTag::String: what = " not allowed for strings!"; break;
        case TypeTag::Float: what = " not allowed for floats!"; break;
        case TypeTag::Color: what = " not allowed for colors!"; break;
        case TypeTag::Matrix: what = " not allowed for matrices!"; break;
        default: break;
    }
    return "Operator " + op + what;
}

std::string incompatible(const std::string& op) { return "Incompatiple types of operands for operator: " + op; }

// Point - point is a vector; a point with any other direction stays a point;
// vectors and normals mixed give a vector.
Type spatialResult(const std::string& op, TypeTag a, TypeTag b) {
    if (a == b) return {op == "-" && a == TypeTag::Point ? TypeTag::Vector : a, ""};
    if (a == TypeTag::Triple) return {b, ""};
    if (b == TypeTag::Triple) return {a, ""};
    if (a == TypeTag::Point || b == TypeTag::Point) return pointType;
    return vectorType;
}

Type binaryResult(const std::string& op, const Type& left, const Type& right) {
    const TypeTag a = left.tag, b = right.tag;
    if (a == TypeTag::Void || b == TypeTag::Void) fail(incompatible(op));
    const bool arithmetic = op == "+" || op == "-" || op == "*" || op == "/";
    if (arithmetic) {
        if (a == TypeTag::String || b == TypeTag::String) fail(notAllowed(op, TypeTag::String));
        if (a == TypeTag::Matrix || b == TypeTag::Matrix) {
            const bool scalable = (a == TypeTag::Matrix || a == TypeTag::Float) && (b == TypeTag::Matrix || b == TypeTag::Float);
            if (!scalable) fail(incompatible(op));
            if (op == "+" || op == "-") fail(notAllowed(op, TypeTag::Matrix));
            return matrixType;
        }
        if (a == TypeTag::Float) return right;
        if (b == TypeTag::Float) return left;
        const bool colorA = a == TypeTag::Color, colorB = b == TypeTag::Color;
        if (colorA || colorB) {
            if ((colorA || a == TypeTag::Triple) && (colorB || b == TypeTag::Triple)) return colorType;
            fail(incompatible(op));
        }
        return spatialResult(op, a, b);
    }
    // Dot and cross products take directions; comparisons and logic take floats.
    if (op == "." || op == "^") {
        if (isSpatial(a) && isSpatial(b)) return op == "." ? floatType : vectorType;
        if (a == b) fail(notAllowed(op, a));
        fail(incompatible(op));
    }
    if (op == "<" || op == ">" || op == "<=" || op == ">=" || op == "&&" || op == "||") {
        if (a == TypeTag::Float && b == TypeTag::Float) return floatType;
        if (a == b || (isSpatial(a) && isSpatial(b))) fail(notAllowed(op, a));
        fail(incompatible(op));
    }
    if (op == "==" || op == "!=") {
        if (fits(left, right) || fits(right, left)) return floatType;
        fail(incompatible(op));
    }
    fail("Unknown operator: " + op);
}

// ---- Symbol tables ----

struct Variable {
    Type type;
    Storage storage = Storage::Varying;
    bool readOnly = false;
    bool formal = false;
};

struct Global {
    const char* name;
    TypeTag tag;
    Storage storage;
    bool readOnly;
};

// The predeclared globals of a surface shader, in registration order. L, Cl and
// Ol exist only inside illuminance loops.
constexpr Global surfaceGlobals[] = {
    {"Ci", TypeTag::Color, Storage::Varying, false},   {"Oi", TypeTag::Color, Storage::Varying, false},
    {"time", TypeTag::Float, Storage::Uniform, true},  {"ncomps", TypeTag::Float, Storage::Uniform, true},
    {"u", TypeTag::Float, Storage::Varying, true},     {"v", TypeTag::Float, Storage::Varying, true},
    {"du", TypeTag::Float, Storage::Varying, true},    {"dv", TypeTag::Float, Storage::Varying, true},
    {"N", TypeTag::Normal, Storage::Varying, false},   {"I", TypeTag::Vector, Storage::Varying, true},
    {"Cs", TypeTag::Color, Storage::Varying, false},   {"Os", TypeTag::Color, Storage::Varying, false},
    {"P", TypeTag::Point, Storage::Varying, false},    {"Ng", TypeTag::Normal, Storage::Varying, true},
    {"E", TypeTag::Point, Storage::Uniform, true},     {"s", TypeTag::Float, Storage::Varying, false},
    {"t", TypeTag::Float, Storage::Varying, false},    {"dPdu", TypeTag::Vector, Storage::Varying, true},
    {"dPdv", TypeTag::Vector, Storage::Varying, true}, {"dtime", TypeTag::Float, Storage::Uniform, true},
};
constexpr Global lightLoopGlobals[] = {
    {"L", TypeTag::Vector, Storage::Varying, true},
    {"Cl", TypeTag::Color, Storage::Varying, true},
    {"Ol", TypeTag::Color, Storage::Varying, true},
};

struct Signature {
    Type result;
    std::vector<Type> params;
    bool varyingResult = false;  // depends on the shading point whatever its arguments
};

struct BuiltIn {
    const char* name;
    Signature signature;
};

const std::vector<BuiltIn>& builtIns() {
    const Type F = floatType, C = colorType, P = pointType, V = vectorType, N = normalType, S = stringType,
               M = matrixType;
    static const std::vector<BuiltIn> table = {
        {"xcomp", {F, {P}}},           {"xcomp", {F, {V}}},           {"xcomp", {F, {N}}},
        {"ycomp", {F, {P}}},           {"ycomp", {F, {V}}},           {"ycomp", {F, {N}}},
        {"zcomp", {F, {P}}},           {"zcomp", {F, {V}}},           {"zcomp", {F, {N}}},
        {"mix", {F, {F, F, F}}},       {"mix", {C, {C, C, F}}},       {"mix", {P, {P, P, F}}},
        {"mix", {V, {V, V, F}}},       {"mix", {N, {N, N, F}}},       {"normalize", {V, {V}}},
        {"faceforward", {V, {V, V}, true}}, {"faceforward", {V, {V, V, V}}},
        {"ambient", {C, {}, true}},    {"diffuse", {C, {N}, true}},   {"specular", {C, {N, V, F}, true}},
        {"transform", {P, {S, P}}},    {"transform", {P, {S, S, P}}}, {"transform", {P, {M, P}}},
        {"calculatenormal", {N, {P}, true}}, {"comp", {F, {C, F}}},
        {"vtransform", {V, {S, V}}},   {"vtransform", {V, {S, S, V}}}, {"vtransform", {V, {M, V}}},
        {"ntransform", {N, {S, N}}},   {"ntransform", {N, {S, S, N}}}, {"ntransform", {N, {M, N}}},
    };
    return table;
}

std::string parameterTypes(const Signature& s) {
    std::string out = "(";
    for (std::size_t i = 0; i < s.params.size(); ++i) {
        if (i > 0) out += ", ";
        out += typeName(s.params[i]);
    }
    return out + ")";
}

std::string nameRule(const std::string& what, const std::string& name) {
    return "Invalid " + what + " name: " + name +
           " (a name is letters, digits and _, does not start with a digit and is not a reserved word)";
}

void requireName(const std::string& what, const std::string& name) {
    if (!isIdentifier(name) || isReservedWord(name)) fail(nameRule(what, name));
}

class Checker {
public:
    Checker() {
        for (const BuiltIn& b : builtIns()) functions_[b.name].push_back(b.signature);
    }

    void program(Program& p) {
        for (FunctionDef& f : p.functions) function(f);
        if (p.shaders.empty()) fail("No shader defined!");
        if (p.shaders.size() > 1) fail("Only one shader can be defined at a time!");
        shader(p.shaders.front());
    }

private:
    // ---- Definitions ----

    void function(FunctionDef& f) {
        requireName("function", f.name);
        if (functions_.count(f.name) != 0) fail("Duplicate definition of function " + f.name);
        functions_[f.name];  // known from here on; its signature follows once its body is checked
        Signature signature{f.result, {}, true};
        inFunction_ = &f;
        scopes_.assign(1, {});
        globalsVisible_ = false;
        for (const Formal& formal : f.formals) {
            requireName("variable", formal.name);
            declareName(formal.name, {formal.type, Storage::Varying, false, true});
            signature.params.push_back(formal.type);
        }
        block(f.body, false);
        if (f.result.tag != TypeTag::Void && (f.body.empty() || f.body.back().kind != Stmt::Kind::Return))
            fail("Function " + f.name + " must end with a return statement");
        inFunction_ = nullptr;
        functions_[f.name].push_back(std::move(signature));
    }

    void shader(ShaderDef& s) {
        requireName("shader", s.name);
        shaderKind_ = s.kind;
        globalsVisible_ = true;
        scopes_.assign(1, {});
        for (const Global& g : surfaceGlobals) scopes_[0][g.name] = {{g.tag, ""}, g.storage, g.readOnly, false};
        scopes_.push_back({});
        for (ShaderParam& p : s.params) {
            requireName("variable", p.name);
            if (!p.defaultValue) fail("Shader parameter " + p.name + " has no default value");
            initialiser(p.name, p.type, p.storage, *p.defaultValue);
            declareName(p.name, {p.type, p.storage, false, false});
        }
        block(s.body, false);
    }

    // ---- Scopes ----

    void declareName(const std::string& name, Variable v) {
        const bool global = globalsVisible_ && scopes_.size() > 1 && scopes_[0].count(name) != 0;
        if (global || scopes_.back().count(name) != 0) fail("Duplicate variable name: " + name);
        scopes_.back()[name] = std::move(v);
    }

    const Variable& lookup(const std::string& name) const {
        for (auto scope = scopes_.rbegin(); scope != scopes_.rend(); ++scope) {
            auto it = scope->find(name);
            if (it != scope->end()) return it->second;
        }
        fail("Undefined variable: " + name);
    }

    // ---- Statements ----

    void block(std::vector<Stmt>& body, bool newScope) {
        if (newScope) scopes_.push_back({});
        for (std::size_t i = 0; i < body.size(); ++i) statement(body[i], !newScope && i + 1 == body.size());
        if (newScope) scopes_.pop_back();
    }

    void statement(Stmt& s, bool lastOfFunction) {
        switch (s.kind) {
            case Stmt::Kind::Declare:
                requireName("variable", s.name);
                if (!s.exprs.empty()) initialiser(s.name, s.type, s.storage, s.exprs[0]);
                declareName(s.name, {s.type, s.storage, false, false});
                return;
            case Stmt::Kind::Expression:
                expr(s.exprs[0]);
                return;
            case Stmt::Kind::Return:
                returnStatement(s, lastOfFunction);
                return;
            case Stmt::Kind::If:
                condition(s.exprs[0]);
                block(s.body, true);
                if (s.hasElse) block(s.elseBody, true);
                return;
            case Stmt::Kind::While:
                condition(s.exprs[0]);
                loop(s.body);
                return;
            case Stmt::Kind::For:
                expr(s.exprs[0]);
                condition(s.exprs[1]);
                expr(s.exprs[2]);
                loop(s.body);
                return;
            case Stmt::Kind::Break:
            case Stmt::Kind::Continue:
                if (loops_ == 0)
                    fail(std::string(s.kind == Stmt::Kind::Break ? "break" : "continue") +
                         " is only allowed inside a loop");
                return;
            case Stmt::Kind::Solar:
            case Stmt::Kind::Illuminate:
            case Stmt::Kind::Illuminance:
                lightLoopStatement(s);
                return;
        }
    }

    void returnStatement(Stmt& s, bool lastOfFunction) {
        if (!inFunction_) fail("Return statements are only allowed in function definitions");
        if (!lastOfFunction) fail("A return statement must be the last statement of function " + inFunction_->name);
        Expr& value = s.exprs[0];
        if (value.kind == Expr::Kind::Tuple && inFunction_->result.tag != TypeTag::Void)
            constrain(value, inFunction_->result);
        else
            expr(value);
        if (inFunction_->result.tag == TypeTag::Void || !fits(value.type, inFunction_->result))
            fail("The type of the return statement is not of the same type as the result defined for the function!");
    }

    void loop(std::vector<Stmt>& body) {
        ++loops_;
        block(body, true);
        --loops_;
    }

    void lightLoopStatement(Stmt& s) {
        const bool lightShader = shaderKind_ == ShaderKind::Light && !inFunction_;
        if (s.kind == Stmt::Kind::Illuminance ? lightShader : !lightShader)
            fail(std::string(s.kind == Stmt::Kind::Solar        ? "solar()"
                             : s.kind == Stmt::Kind::Illuminate ? "illuminate()"
                                                                : "illuminance()") +
                 (lightShader ? " is not allowed in light shaders" : " is only allowed in light shaders"));
        for (Expr& e : s.exprs) expr(e);
        scopes_.push_back({});
        for (const Global& g : lightLoopGlobals) scopes_.back()[g.name] = {{g.tag, ""}, g.storage, g.readOnly, false};
        loop(s.body);
        scopes_.pop_back();
    }

    void condition(Expr& e) {
        expr(e);
        if (e.type.tag != TypeTag::Float)
            fail(std::string("A condition must be a float (a comparison), not a ") + typeName(e.type));
    }

    // A declaration's or a parameter's initial value.
    void initialiser(const std::string& name, const Type& type, Storage storage, Expr& value) {
        if (value.kind == Expr::Kind::Tuple)
            constrain(value, type);
        else
            expr(value);
        if (!fits(value.type, type)) fail("Expression initializing variable " + name + " is not of expected type!");
        if (storage == Storage::Uniform && value.storage == Storage::Varying)
            fail("Cannot assign a varying value to the uniform variable " + name);
    }

    // ---- Expressions ----

    void expr(Expr& e) {
        switch (e.kind) {
            case Expr::Kind::Variable: {
                const Variable& v = lookup(e.text);
                e.type = v.type;
                e.storage = v.storage;
                return;
            }
            case Expr::Kind::Negate: {
                Expr& operand = e.operands[0];
                expr(operand);
                const TypeTag t = operand.type.tag;
                if (t == TypeTag::String || t == TypeTag::Matrix || t == TypeTag::Void) fail(notAllowed("-", t));
                e.type = operand.type;
                e.storage = operand.storage;
                return;
            }
            case Expr::Kind::String:
                e.type = stringType;
                e.storage = Storage::Uniform;
                return;
            case Expr::Kind::Real:
                e.type = floatType;
                e.storage = Storage::Uniform;
                return;
            case Expr::Kind::TextureAccess:
                texture(e);
                return;
            case Expr::Kind::Call:
                functionCall(e);
                return;
            case Expr::Kind::Binary:
                if (isAssignment(e.text))
                    assignment(e);
                else
                    binaryOperation(e);
                return;
            case Expr::Kind::Tuple:
                unconstrainedTuple(e);
                return;
            case Expr::Kind::Cast:
                typecast(e);
                return;
            case Expr::Kind::Conditional:
                condition(e.operands[0]);
                expr(e.operands[1]);
                expr(e.operands[2]);
                if (!fits(e.operands[2].type, e.operands[1].type))
                    fail("The two values of a conditional expression must have the same type");
                e.type = e.operands[1].type;
                e.storage = storageOf(e.operands);
                return;
        }
    }

    static Storage storageOf(const std::vector<Expr>& operands) {
        for (const Expr& o : operands)
            if (o.storage == Storage::Varying) return Storage::Varying;
        return Storage::Uniform;
    }

    void tupleSize(const Expr& e) {
        const std::size_t n = e.operands.size();
        if (n != 1 && n != 3 && n != 16) fail("Tuples must have either 1, 3 or 16 elements!");
    }

    void floatElements(Expr& e) {
        for (Expr& element : e.operands) {
            expr(element);
            if (element.type.tag != TypeTag::Float) fail("Type does not match type-constraint!");
        }
    }

    void unconstrainedTuple(Expr& e) {
        tupleSize(e);
        if (e.operands.size() == 1) {
            expr(e.operands[0]);
            e.type = e.operands[0].type;
        } else {
            floatElements(e);
            e.type = e.operands.size() == 3 ? tripleType : matrixType;
        }
        e.storage = storageOf(e.operands);
    }

    // A tuple where a value of type expected is wanted.
    void constrain(Expr& e, const Type& expected) {
        tupleSize(e);
        if (expected.tag == TypeTag::Void || expected.tag == TypeTag::Triple) fail("Type cannot match type-constraint!");
        const std::size_t n = e.operands.size();
        if (n == 1) {
            unconstrainedTuple(e);
            return;
        }
        const bool three = expected.tag == TypeTag::Color || (isSpatial(expected.tag) && n == 3);
        if ((n == 3 && !three) || (n == 16 && expected.tag != TypeTag::Matrix)) fail("Type does not match type-constraint!");
        floatElements(e);
        e.type = expected;
        e.storage = storageOf(e.operands);
    }

    void typecast(Expr& e) {
        const Type& target = e.target;
        if (target.tag == TypeTag::Triple) fail("Cannot typecast to a triple type!");
        if (target.tag == TypeTag::Void) fail("Type cannot match type-constraint!");
        Expr& operand = e.operands[0];
        if (operand.kind == Expr::Kind::Tuple && operand.operands.size() != 1) {
            constrain(operand, target);
        } else {
            expr(operand);
            const TypeTag from = operand.type.tag;
            const bool promoted = from == TypeTag::Float && (target.tag == TypeTag::Color || isSpatial(target.tag));
            if (!promoted && !fits(operand.type, target)) fail("Type does not match type-constraint!");
        }
        e.type = target;
        e.storage = operand.storage;
    }

    void binaryOperation(Expr& e) {
        expr(e.operands[0]);
        expr(e.operands[1]);
        e.type = binaryResult(e.text, e.operands[0].type, e.operands[1].type);
        e.storage = storageOf(e.operands);
    }

    void assignment(Expr& e) {
        Expr& target = e.operands[0];
        Expr& value = e.operands[1];
        if (target.kind != Expr::Kind::Variable) fail("Only a variable can be assigned (operator " + e.text + " )");
        const Variable& v = lookup(target.text);
        if (v.readOnly) fail("Cannot assign to the read-only variable " + target.text);
        if (v.formal)
            fail("Cannot assign to the formal parameter " + target.text + " of function " + inFunction_->name +
                 ": a function hands its result back with return");
        target.type = v.type;
        target.storage = v.storage;
        if (value.kind == Expr::Kind::Tuple && e.text == "=" && v.type.tag != TypeTag::Void &&
            v.type.tag != TypeTag::Triple)
            constrain(value, v.type);
        else
            expr(value);
        if (v.type.tag == TypeTag::Void || v.type.tag == TypeTag::Triple || value.type.tag == TypeTag::Void)
            fail("Assignment only allowed for types matrix, color, point, vector, normal, float and string!\n");
        std::string mismatch = "Attempting to assign (using operator " + e.text + " ) a value of type " +
                               typeName(value.type) + " to an lvalue of type " + typeName(v.type);
        if (e.text == "=") {
            if (!fits(value.type, v.type)) fail(mismatch);
        } else {
            const Type result = binaryResult(e.text.substr(0, 1), v.type, value.type);
            if (!fits(result, v.type)) fail(mismatch + " where a resulting type of " + typeName(v.type) + " is expected");
        }
        if (v.storage == Storage::Uniform && value.storage == Storage::Varying)
            fail("Cannot assign a varying value to the uniform variable " + target.text);
        e.type = v.type;
        e.storage = v.storage;
    }

    void functionCall(Expr& e) {
        const std::string& name = e.text;
        auto it = functions_.find(name);
        if (it == functions_.end()) fail("Undefined function: " + name);
        const std::vector<Signature>& signatures = it->second;
        if (signatures.empty()) fail("Internal error: Missing function " + name + " in symbol table!");

        std::vector<Expr>& args = e.operands;
        if (signatures.size() == 1) {
            const Signature& s = signatures.front();
            if (args.size() != s.params.size())
                fail("Length of argumentlist in call to function " + name + " does not agree with function definition!");
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (args[i].kind == Expr::Kind::Tuple && args[i].operands.size() != 1)
                    constrain(args[i], s.params[i]);
                else
                    expr(args[i]);
                if (!fits(args[i].type, s.params[i]))
                    fail("Invalid argument type in call to function " + name +
                         "!\nFunction specifies formal parameter type " + typeName(s.params[i]) +
                         " while the actual argument type is " + typeName(args[i].type));
            }
            setCallResult(e, s);
            return;
        }
        for (Expr& a : args) expr(a);
        const Signature* chosen = nullptr;
        for (bool exact : {true, false}) {
            for (const Signature& s : signatures) {
                if (s.params.size() != args.size()) continue;
                bool ok = true;
                for (std::size_t i = 0; i < args.size() && ok; ++i)
                    ok = exact ? args[i].type == s.params[i] : fits(args[i].type, s.params[i]);
                if (ok) {
                    chosen = &s;
                    break;
                }
            }
            if (chosen) break;
        }
        if (!chosen) {
            std::string message = "Unresolved overloading for function " + name + "\nArguments for function must have types:\n";
            for (std::size_t i = 0; i < signatures.size(); ++i) {
                if (i > 0) message += "\nor types ";
                message += parameterTypes(signatures[i]);
            }
            fail(message);
        }
        setCallResult(e, *chosen);
    }

    static void setCallResult(Expr& e, const Signature& s) {
        e.type = s.result;
        e.storage = s.varyingResult ? Storage::Varying : storageOf(e.operands);
    }

    void texture(Expr& e) {
        Expr& name = e.operands[0];
        expr(name);
        if (name.type.tag != TypeTag::String) fail("The texture name of a texture access must be a string");
        if (e.channel < 0) fail("The channel of a texture access must not be negative");
        const TypeTag result = e.target.tag;
        const bool shadow = e.textureFunction == TextureFunction::Shadow;
        if (result != TypeTag::Float && (result != TypeTag::Color || shadow))
            fail(std::string("A texture access cannot yield a ") + typeName(e.target));
        const std::size_t n = e.operands.size() - 1;
        for (std::size_t i = 1; i <= n; ++i) {
            Expr& c = e.operands[i];
            expr(c);
            const bool ok = e.textureFunction == TextureFunction::Texture ? c.type.tag == TypeTag::Float
                                                                           : isSpatial(c.type.tag);
            if (!ok) fail("Invalid coordinate type in a texture access: " + std::string(typeName(c.type)));
        }
        const bool count = e.textureFunction == TextureFunction::Texture ? (n == 0 || n == 2 || n == 8) : (n == 1 || n == 4);
        if (!count) fail("Invalid number of coordinates in a texture access");
        e.type = e.target;
        e.storage = n == 0 ? Storage::Varying : storageOf(e.operands);
    }

    std::unordered_map<std::string, std::vector<Signature>> functions_;
    std::vector<std::unordered_map<std::string, Variable>> scopes_;
    const FunctionDef* inFunction_ = nullptr;
    ShaderKind shaderKind_ = ShaderKind::Surface;
    bool globalsVisible_ = false;
    int loops_ = 0;
};

}  // namespace

void check(Program& program) {
    Checker checker;
    checker.program(program);
}

bool isIdentifier(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

bool isReservedWord(std::string_view name) {
    return std::find(reservedWords.begin(), reservedWords.end(), name) != reservedWords.end();
}

bool isBuiltInFunction(std::string_view name) {
    for (const BuiltIn& b : builtIns())
        if (name == b.name) return true;
    return false;
}

}  // namespace morv::SL
