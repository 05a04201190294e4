#include "exporters/renderman/ShadingLanguage.hpp"

#include <cmath>
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"

namespace morv::SL {

const char* typeName(const Type& type) {
    switch (type.tag) {
        case TypeTag::Void: return "void";
        case TypeTag::String: return "string";
        case TypeTag::Float: return "float";
        case TypeTag::Vector: return "vector";
        case TypeTag::Normal: return "normal";
        case TypeTag::Triple: return "triple";
        case TypeTag::Color: return "color";
        case TypeTag::Matrix: return "matrix";
        case TypeTag::Point: return "point";
    }
    return "void";
}

const char* storageName(Storage storage) { return storage == Storage::Uniform ? "uniform" : "varying"; }

const char* shaderKindName(ShaderKind kind) {
    switch (kind) {
        case ShaderKind::Surface: return "surface";
        case ShaderKind::Light: return "light";
        case ShaderKind::Displacement: return "displacement";
        case ShaderKind::Imager: return "imager";
    }
    return "surface";
}

// ---- Builders ----

namespace {
Expr make(Expr::Kind kind, std::string text = {}, std::vector<Expr> operands = {}) {
    Expr e;
    e.kind = kind;
    e.text = std::move(text);
    e.operands = std::move(operands);
    return e;
}
}  // namespace

Expr variable(std::string name) { return make(Expr::Kind::Variable, std::move(name)); }
Expr negate(Expr operand) { return make(Expr::Kind::Negate, {}, {std::move(operand)}); }
Expr stringConstant(std::string text) { return make(Expr::Kind::String, std::move(text)); }
Expr real(double value) {
    Expr e = make(Expr::Kind::Real);
    e.real = value;
    return e;
}
Expr textureAccess(Type result, TextureFunction function, Expr textureName, int channel,
                   std::vector<Expr> coordinates) {
    Expr e = make(Expr::Kind::TextureAccess);
    e.target = std::move(result);
    e.textureFunction = function;
    e.channel = channel;
    e.operands.push_back(std::move(textureName));
    for (Expr& c : coordinates) e.operands.push_back(std::move(c));
    return e;
}
Expr call(std::string function, std::vector<Expr> arguments) {
    return make(Expr::Kind::Call, std::move(function), std::move(arguments));
}
Expr binary(std::string op, Expr left, Expr right) {
    std::vector<Expr> operands;
    operands.push_back(std::move(left));
    operands.push_back(std::move(right));
    return make(Expr::Kind::Binary, std::move(op), std::move(operands));
}
Expr assign(std::string target, Expr value) { return binary("=", variable(std::move(target)), std::move(value)); }
Expr tuple(std::vector<Expr> elements) { return make(Expr::Kind::Tuple, {}, std::move(elements)); }
Expr cast(Type target, Expr operand) {
    Expr e = make(Expr::Kind::Cast, {}, {std::move(operand)});
    e.target = std::move(target);
    return e;
}
Expr conditional(Expr condition, Expr thenValue, Expr elseValue) {
    std::vector<Expr> operands;
    operands.push_back(std::move(condition));
    operands.push_back(std::move(thenValue));
    operands.push_back(std::move(elseValue));
    return make(Expr::Kind::Conditional, {}, std::move(operands));
}

namespace {
Stmt makeStmt(Stmt::Kind kind, std::vector<Expr> exprs = {}, std::vector<Stmt> body = {}) {
    Stmt s;
    s.kind = kind;
    s.exprs = std::move(exprs);
    s.body = std::move(body);
    return s;
}
std::vector<Expr> one(Expr e) {
    std::vector<Expr> v;
    v.push_back(std::move(e));
    return v;
}
}  // namespace

Stmt declare(Type type, Storage storage, std::string name, std::optional<Expr> init) {
    Stmt s = makeStmt(Stmt::Kind::Declare);
    s.type = std::move(type);
    s.storage = storage;
    s.name = std::move(name);
    if (init) s.exprs.push_back(std::move(*init));
    return s;
}
Stmt expression(Expr e) { return makeStmt(Stmt::Kind::Expression, one(std::move(e))); }
Stmt returnValue(Expr e) { return makeStmt(Stmt::Kind::Return, one(std::move(e))); }
Stmt ifThen(Expr condition, std::vector<Stmt> body) {
    return makeStmt(Stmt::Kind::If, one(std::move(condition)), std::move(body));
}
Stmt ifThenElse(Expr condition, std::vector<Stmt> body, std::vector<Stmt> elseBody) {
    Stmt s = ifThen(std::move(condition), std::move(body));
    s.elseBody = std::move(elseBody);
    s.hasElse = true;
    return s;
}
Stmt whileLoop(Expr condition, std::vector<Stmt> body) {
    return makeStmt(Stmt::Kind::While, one(std::move(condition)), std::move(body));
}
Stmt forLoop(Expr init, Expr condition, Expr step, std::vector<Stmt> body) {
    std::vector<Expr> exprs;
    exprs.push_back(std::move(init));
    exprs.push_back(std::move(condition));
    exprs.push_back(std::move(step));
    return makeStmt(Stmt::Kind::For, std::move(exprs), std::move(body));
}
Stmt breakStmt() { return makeStmt(Stmt::Kind::Break); }
Stmt continueStmt() { return makeStmt(Stmt::Kind::Continue); }
Stmt lightLoop(Stmt::Kind kind, std::vector<Expr> arguments, std::vector<Stmt> body) {
    return makeStmt(kind, std::move(arguments), std::move(body));
}

void appendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\t') {
            out.append("\\t");
        } else if (byte < 0x20 || byte == 0x7F) {
            const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                                  static_cast<char>('0' + (byte & 7))};
            out.append(octal, sizeof octal);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

std::string quoted(const std::string& text) {
    std::string out;
    appendQuoted(out, text);
    return out;
}

// ---- Printer ----

namespace {

class Printer {
public:
    explicit Printer(std::string& out) : out_(out) {}

    void function(const FunctionDef& f) {
        out_.append(typeName(f.result)).append(" ").append(f.name).append(" (");
        for (std::size_t i = 0; i < f.formals.size(); ++i) {
            if (i > 0) out_.append("; ");
            out_.append(typeName(f.formals[i].type)).append(" ").append(f.formals[i].name);
        }
        out_.append(")\n{\n");
        statements(f.body, 1);
        out_.append("}\n\n");
    }

    void shader(const ShaderDef& s) {
        out_.append(shaderKindName(s.kind)).append(" ").append(s.name).append(" (");
        for (std::size_t i = 0; i < s.params.size(); ++i) {
            const ShaderParam& p = s.params[i];
            if (i > 0) out_.append("; ");
            out_.append(storageName(p.storage)).append(" ").append(typeName(p.type)).append(" ").append(p.name);
            if (p.defaultValue) {
                out_.append(" = ");
                expr(*p.defaultValue);
            }
        }
        out_.append(")\n{\n");
        statements(s.body, 1);
        out_.append("}\n\n");
    }

private:
    void indent(int level) { out_.append(static_cast<std::size_t>(level) * 2, ' '); }

    void statements(const std::vector<Stmt>& body, int level) {
        for (const Stmt& s : body) statement(s, level);
    }

    void block(const std::vector<Stmt>& body, int level) {
        indent(level);
        out_.append("{\n");
        statements(body, level + 1);
        indent(level);
        out_.append("}\n");
    }

    void statement(const Stmt& s, int level) {
        indent(level);
        switch (s.kind) {
            case Stmt::Kind::Declare:
                out_.append(storageName(s.storage)).append(" ").append(typeName(s.type)).append(" ").append(s.name);
                if (!s.exprs.empty()) {
                    out_.append(" = ");
                    expr(s.exprs[0]);
                }
                out_.append(";\n");
                return;
            case Stmt::Kind::Expression:
                topExpr(s.exprs[0]);
                out_.append(";\n");
                return;
            case Stmt::Kind::Return:
                out_.append("return ");
                expr(s.exprs[0]);
                out_.append(";\n");
                return;
            case Stmt::Kind::If:
                out_.append("if(");
                expr(s.exprs[0]);
                out_.append(")\n");
                block(s.body, level);
                if (s.hasElse) {
                    indent(level);
                    out_.append("else\n");
                    block(s.elseBody, level);
                }
                return;
            case Stmt::Kind::While:
                out_.append("while(");
                expr(s.exprs[0]);
                out_.append(")\n");
                block(s.body, level);
                return;
            case Stmt::Kind::For:
                out_.append("for(");
                topExpr(s.exprs[0]);
                out_.append("; ");
                expr(s.exprs[1]);
                out_.append("; ");
                topExpr(s.exprs[2]);
                out_.append(")\n");
                block(s.body, level);
                return;
            case Stmt::Kind::Break:
                out_.append("break;\n");
                return;
            case Stmt::Kind::Continue:
                out_.append("continue;\n");
                return;
            case Stmt::Kind::Solar:
            case Stmt::Kind::Illuminate:
            case Stmt::Kind::Illuminance:
                out_.append(s.kind == Stmt::Kind::Solar        ? "solar("
                            : s.kind == Stmt::Kind::Illuminate ? "illuminate("
                                                               : "illuminance(");
                list(s.exprs, 0);
                out_.append(")\n");
                block(s.body, level);
                return;
        }
    }

    // An assignment standing as a statement is written without its outer parentheses.
    void topExpr(const Expr& e) {
        if (e.kind == Expr::Kind::Binary && isAssignment(e.text)) {
            expr(e.operands[0]);
            out_.append(" ").append(e.text).append(" ");
            expr(e.operands[1]);
        } else {
            expr(e);
        }
    }

    static bool isAssignment(const std::string& op) {
        return op == "=" || op == "+=" || op == "-=" || op == "*=" || op == "/=";
    }

    void list(const std::vector<Expr>& items, std::size_t first) {
        for (std::size_t i = first; i < items.size(); ++i) {
            if (i > first) out_.append(", ");
            expr(items[i]);
        }
    }

    void expr(const Expr& e) {
        switch (e.kind) {
            case Expr::Kind::Variable:
                out_.append(e.text);
                return;
            case Expr::Kind::Negate:
                out_.append("(-");
                expr(e.operands[0]);
                out_.append(")");
                return;
            case Expr::Kind::String:
                out_.append(quoted(e.text));
                return;
            case Expr::Kind::Real: {
                if (!std::isfinite(e.real))
                    throw Error("The number " + realToText(e.real) +
                                " cannot be written to a shader: the shading language has no text for it");
                char text[maxRealText];
                out_.append(text, formatReal(e.real, text, '-'));
                return;
            }
            case Expr::Kind::TextureAccess:
                out_.append("(").append(typeName(e.target)).append(" ");
                out_.append(e.textureFunction == TextureFunction::Texture       ? "texture"
                            : e.textureFunction == TextureFunction::Environment ? "environment"
                                                                                : "shadow");
                out_.append("(");
                expr(e.operands[0]);
                out_.append("[");
                appendInt(out_, e.channel);
                out_.append("]");
                if (e.operands.size() > 1) out_.append(", ");
                list(e.operands, 1);
                out_.append("))");
                return;
            case Expr::Kind::Call:
                out_.append("(").append(e.text).append("(");
                list(e.operands, 0);
                out_.append("))");
                return;
            case Expr::Kind::Binary:
                out_.append("(");
                expr(e.operands[0]);
                out_.append(" ").append(e.text).append(" ");
                expr(e.operands[1]);
                out_.append(")");
                return;
            case Expr::Kind::Tuple:
                out_.append("(");
                list(e.operands, 0);
                out_.append(")");
                return;
            case Expr::Kind::Cast:
                out_.append(typeName(e.target)).append(" ");
                expr(e.operands[0]);
                return;
            case Expr::Kind::Conditional:
                out_.append("((");
                expr(e.operands[0]);
                out_.append(") ? (");
                expr(e.operands[1]);
                out_.append(") : (");
                expr(e.operands[2]);
                out_.append("))");
                return;
        }
    }

    std::string& out_;
};

}  // namespace

void print(const Program& program, std::string& out) {
    Printer printer(out);
    for (const FunctionDef& f : program.functions) printer.function(f);
    for (const ShaderDef& s : program.shaders) printer.shader(s);
}

}  // namespace morv::SL
