#include "scene/MorvLCoordTransforms.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/Excn.hpp"

namespace morv {
namespace {

constexpr double kPi = 3.141592653589793;

enum class Ctor { ScaleXYZ, TranslateXYZ, Rotate, IntDegRotate };
struct CtorInfo {
    Ctor ctor;
    int axis;  // 0 x, 1 y, 2 z for the rotations
};

std::optional<CtorInfo> constructorOf(std::string_view name) {
    if (name == "ScaleXYZ") return CtorInfo{Ctor::ScaleXYZ, 0};
    if (name == "TranslateXYZ") return CtorInfo{Ctor::TranslateXYZ, 0};
    if (name == "RotateX") return CtorInfo{Ctor::Rotate, 0};
    if (name == "RotateY") return CtorInfo{Ctor::Rotate, 1};
    if (name == "RotateZ") return CtorInfo{Ctor::Rotate, 2};
    if (name == "IntDegRotateX") return CtorInfo{Ctor::IntDegRotate, 0};
    if (name == "IntDegRotateY") return CtorInfo{Ctor::IntDegRotate, 1};
    if (name == "IntDegRotateZ") return CtorInfo{Ctor::IntDegRotate, 2};
    return std::nullopt;
}

std::string functionName(const TransformFlavour& f, std::string_view function) {
    std::string s(f.module);
    s += '.';
    s += function;
    return s;
}

[[noreturn]] void raiseNotSum(const TransformFlavour& f, std::string_view function) {
    throw Error("Internal Error: Expected SUMVALUE not found in function " + functionName(f, function) + "\n");
}

[[noreturn]] void raiseBadConstructor(const std::string& name, const TransformFlavour& f, std::string_view function) {
    throw Error("Internal Error: Invalid SUMVALUE constructor " + name + " in function " + functionName(f, function) +
                "\n");
}

[[noreturn]] void raiseNotList(const TransformFlavour& f, std::string_view function) {
    throw Error("Internal Error: Expected LIST of transforms not found in function " + functionName(f, function) +
                "\n");
}

// The constructor of a SUMVALUE whose argument has the kind that constructor takes.
CtorInfo checkedConstructor(const MorvLValue& t, const TransformFlavour& f, std::string_view function) {
    if (t.kind() != Kind::SUMVALUE) raiseNotSum(f, function);
    const std::string& name = t.constructorName();
    const auto info = constructorOf(name);
    if (!info) raiseBadConstructor(name, f, function);
    Kind wanted = Kind::INT;
    switch (info->ctor) {
        case Ctor::ScaleXYZ:
        case Ctor::TranslateXYZ: wanted = f.pointKind; break;
        case Ctor::Rotate: wanted = Kind::REAL; break;
        case Ctor::IntDegRotate: wanted = Kind::INT; break;
    }
    if (t.argument().kind() != wanted) raiseBadConstructor(name, f, function);
    return *info;
}

// The rotation about an axis with the given cosine and sine. 0.0 - s keeps an
// exact zero sine from becoming a negative zero.
Matrix4x4 rotation(int axis, double c, double s) {
    Matrix4x4 m = Matrix4x4::identity();
    const double ns = 0.0 - s;
    switch (axis) {
        case 0: m.rows[1] = {0.0, c, ns, 0.0}; m.rows[2] = {0.0, s, c, 0.0}; break;
        case 1: m.rows[0] = {c, 0.0, s, 0.0}; m.rows[2] = {ns, 0.0, c, 0.0}; break;
        default: m.rows[0] = {c, ns, 0.0, 0.0}; m.rows[1] = {s, c, 0.0, 0.0}; break;
    }
    return m;
}

Matrix4x4 radianRotation(int axis, double theta) { return rotation(axis, std::cos(theta), std::sin(theta)); }

int floorMod(std::int32_t d, int m) {
    const int r = d % m;
    return r < 0 ? r + m : r;
}

// Whole-degree rotation: multiples of 90 without trigonometry.
Matrix4x4 degreeRotation(int axis, std::int32_t degrees) {
    if (floorMod(degrees, 90) != 0) return radianRotation(axis, static_cast<double>(degrees) * kPi / 180.0);
    switch (floorMod(degrees, 360)) {
        case 0: return rotation(axis, 1.0, 0.0);
        case 90: return rotation(axis, 0.0, 1.0);
        case 180: return rotation(axis, -1.0, 0.0);
        case 270: return rotation(axis, 0.0, -1.0);
        default: throw Error("Internal error: Unknown multiple of 90 found in integer rotateX???\n");
    }
}

MorvLValue pointArgument(double x, double y, double z, const TransformFlavour& f) {
    MorvLValue p = makePointRecord(x, y, z);
    return f.pointKind == Kind::BUILDINGRECORD ? p.asBuilding() : p;
}

const char* const kRotateNames[3] = {"RotateX", "RotateY", "RotateZ"};
const char* const kIntDegNames[3] = {"IntDegRotateX", "IntDegRotateY", "IntDegRotateZ"};

// ---- The --coordTransformsLH reader ----

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool isSeparator(char c) { return c == ',' || isBlank(c); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool startsAngle(char c) { return isDigit(c) || c == '+' || c == '-' || c == '.'; }

[[noreturn]] void raiseBadAngle() {
    throw CLOptionsError("Value for --coordTransformsLH must be a real value.");
}

// The transform for one command and its angle text.
MorvLValue commandTransform(int axis, std::string_view angle) {
    bool negative = false;
    std::string_view body = angle;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty() || !(isDigit(body.front()) || body.front() == '.')) raiseBadAngle();
    const char* first = body.data();
    const char* last = body.data() + body.size();

    double magnitude = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, magnitude, std::chars_format::general);
    if (ec != std::errc{} || ptr != last || !std::isfinite(magnitude)) raiseBadAngle();
    const double degrees = negative ? -magnitude : magnitude;
    // Whole degrees, however written ("90", "90.0", "9e1"), take the exact path.
    if (std::trunc(degrees) == degrees) {
        if (degrees < std::numeric_limits<std::int32_t>::min() || degrees > std::numeric_limits<std::int32_t>::max())
            raiseBadAngle();
        return MorvLValue::Sum(kIntDegNames[axis], MorvLValue::Int(static_cast<std::int32_t>(degrees)));
    }
    return MorvLValue::Sum(kRotateNames[axis], MorvLValue::Real(degrees * kPi / 180.0));
}

}  // namespace

MorvLValue makeScaleXYZ(double x, double y, double z, const TransformFlavour& f) {
    return MorvLValue::Sum("ScaleXYZ", pointArgument(x, y, z, f));
}
MorvLValue makeTranslateXYZ(double x, double y, double z, const TransformFlavour& f) {
    return MorvLValue::Sum("TranslateXYZ", pointArgument(x, y, z, f));
}
MorvLValue makeRotateX(double radians) { return MorvLValue::Sum("RotateX", MorvLValue::Real(radians)); }
MorvLValue makeRotateY(double radians) { return MorvLValue::Sum("RotateY", MorvLValue::Real(radians)); }
MorvLValue makeRotateZ(double radians) { return MorvLValue::Sum("RotateZ", MorvLValue::Real(radians)); }
MorvLValue makeIntDegRotateX(std::int32_t degrees) { return MorvLValue::Sum("IntDegRotateX", MorvLValue::Int(degrees)); }
MorvLValue makeIntDegRotateY(std::int32_t degrees) { return MorvLValue::Sum("IntDegRotateY", MorvLValue::Int(degrees)); }
MorvLValue makeIntDegRotateZ(std::int32_t degrees) { return MorvLValue::Sum("IntDegRotateZ", MorvLValue::Int(degrees)); }

Matrix4x4 transformMatrix(const MorvLValue& t, const TransformFlavour& f) {
    const CtorInfo info = checkedConstructor(t, f, "transformToMatrix4x4");
    const MorvLValue& arg = t.argument();
    switch (info.ctor) {
        case Ctor::ScaleXYZ: {
            const XYZ s = RecordToXYZ(arg.fields());
            Matrix4x4 m = Matrix4x4::identity();
            m.rows[0][0] = s.x;
            m.rows[1][1] = s.y;
            m.rows[2][2] = s.z;
            return m;
        }
        case Ctor::TranslateXYZ: {
            const XYZ v = RecordToXYZ(arg.fields());
            Matrix4x4 m = Matrix4x4::identity();
            m.rows[0][3] = v.x;
            m.rows[1][3] = v.y;
            m.rows[2][3] = v.z;
            return m;
        }
        case Ctor::Rotate: return radianRotation(info.axis, arg.asReal());
        case Ctor::IntDegRotate: return degreeRotation(info.axis, arg.asInt());
    }
    raiseBadConstructor(t.constructorName(), f, "transformToMatrix4x4");
}

Matrix4x4 transformToMatrix4x4(const MorvLValue& transforms, const TransformFlavour& f) {
    if (transforms.kind() != Kind::LIST) raiseNotList(f, "transformToMatrix4x4");
    const std::size_t n = transforms.size();
    if (n == 0) return Matrix4x4::identity();
    // Folding from the identity would only multiply by it first; start from T1.
    Matrix4x4 m = transformMatrix(transforms.at(0), f);
    for (std::size_t i = 1; i < n; ++i) m = Matrix4x4Mult::mult(m, transformMatrix(transforms.at(i), f));
    return m;
}

MorvLValue invertTransformF(const MorvLValue& t, const TransformFlavour& f) {
    const CtorInfo info = checkedConstructor(t, f, "invertTransformF");
    const std::string& name = t.constructorName();
    const MorvLValue& arg = t.argument();
    switch (info.ctor) {
        case Ctor::ScaleXYZ: {
            const XYZ s = RecordToXYZ(arg.fields());
            auto reciprocal = [](double v) { return v == 0.0 ? 1.0 : 1.0 / v; };
            return makeScaleXYZ(reciprocal(s.x), reciprocal(s.y), reciprocal(s.z), f);
        }
        case Ctor::TranslateXYZ: {
            const XYZ v = RecordToXYZ(arg.fields());
            return makeTranslateXYZ(0.0 - v.x, 0.0 - v.y, 0.0 - v.z, f);
        }
        case Ctor::Rotate: return MorvLValue::Sum(name, MorvLValue::Real(0.0 - arg.asReal()));
        case Ctor::IntDegRotate: {
            const std::int32_t d = arg.asInt();
            // -d overflows only for the smallest int; the same turn modulo 360 stands in.
            const std::int32_t inverse = d == std::numeric_limits<std::int32_t>::min() ? -floorMod(d, 360) : -d;
            return MorvLValue::Sum(name, MorvLValue::Int(inverse));
        }
    }
    raiseBadConstructor(name, f, "invertTransformF");
}

MorvLValue mapSUMVALUE(const std::function<MorvLValue(const MorvLValue&)>& fn, const MorvLValue& transforms,
                       const TransformFlavour& f) {
    if (transforms.kind() != Kind::LIST) raiseNotList(f, "mapSUMVALUE");
    const std::size_t n = transforms.size();
    std::vector<MorvLValue> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        MorvLValue t = transforms.at(i);
        if (t.kind() != Kind::SUMVALUE) raiseNotSum(f, "mapSUMVALUE");
        out.push_back(fn(t));
    }
    return MorvLValue::List(std::move(out));
}

MorvLValue invertTransformList(const MorvLValue& transforms, const TransformFlavour& f) {
    const MorvLValue inverted = mapSUMVALUE([&f](const MorvLValue& t) { return invertTransformF(t, f); }, transforms, f);
    std::vector<MorvLValue> items = inverted.items();
    std::vector<MorvLValue> reversed(items.rbegin(), items.rend());
    return MorvLValue::List(std::move(reversed));
}

MorvLValue parseCoordTransforms(std::string_view text) {
    std::vector<MorvLValue> written;
    std::size_t pos = 0;
    const std::size_t end = text.size();
    while (true) {
        while (pos < end && isSeparator(text[pos])) ++pos;
        if (pos == end) break;
        const std::size_t wordStart = pos;
        while (pos < end && !isSeparator(text[pos]) && !startsAngle(text[pos])) ++pos;
        std::string_view word = text.substr(wordStart, pos - wordStart);
        if (word.empty()) {
            // An item that starts with a number has no command: report the item.
            while (pos < end && !isSeparator(text[pos])) ++pos;
            throw CLOptionsError("Invalid transform command: " + std::string(text.substr(wordStart, pos - wordStart)));
        }
        int axis = 0;
        if (word == "rx") axis = 0;
        else if (word == "ry") axis = 1;
        else if (word == "rz") axis = 2;
        else throw CLOptionsError("Invalid transform command: " + std::string(word));

        while (pos < end && isBlank(text[pos])) ++pos;
        const std::size_t angleStart = pos;
        while (pos < end && !isSeparator(text[pos])) ++pos;
        if (pos == angleStart) raiseBadAngle();
        written.push_back(commandTransform(axis, text.substr(angleStart, pos - angleStart)));
    }
    // Last element acts first: store the commands in reverse of the written order.
    return MorvLValue::List(std::vector<MorvLValue>(written.rbegin(), written.rend()));
}

}  // namespace morv
