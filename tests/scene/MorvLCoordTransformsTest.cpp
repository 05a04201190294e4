#include "scene/MorvLCoordTransforms.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/Excn.hpp"

namespace morv {
namespace {

constexpr double kPi = 3.141592653589793;

MorvLValue list(std::vector<MorvLValue> items) { return MorvLValue::List(std::move(items)); }

XYZ apply(const MorvLValue& transforms, XYZ p) {
    return Matrix4x4::Trans::transformPoint(transformToMatrix4x4(transforms), p);
}

void expectNear(const XYZ& got, const XYZ& want) {
    EXPECT_NEAR(got.x, want.x, 1e-12);
    EXPECT_NEAR(got.y, want.y, 1e-12);
    EXPECT_NEAR(got.z, want.z, 1e-12);
}

template <class E, class F>
void expectMessage(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.message(), message);
    }
}

TEST(MorvLCoordTransformsTest, EachConstructorMovesAPoint) {
    struct Case {
        const char* name;
        MorvLValue transform;
        XYZ want;
        bool exact;
    };
    const std::vector<Case> cases = {
        {"scale", makeScaleXYZ(2, 3, 4), {2, 6, 12}, true},
        {"translate", makeTranslateXYZ(1, -1, 2), {2, 1, 5}, true},
        {"rotateX", makeRotateX(kPi / 2), {1, -3, 2}, false},
        {"rotateY", makeRotateY(kPi / 2), {3, 2, -1}, false},
        {"rotateZ", makeRotateZ(kPi / 2), {-2, 1, 3}, false},
        {"intDegX90", makeIntDegRotateX(90), {1, -3, 2}, true},
        {"intDegY90", makeIntDegRotateY(90), {3, 2, -1}, true},
        {"intDegZ90", makeIntDegRotateZ(90), {-2, 1, 3}, true},
        {"intDegX180", makeIntDegRotateX(180), {1, -2, -3}, true},
        {"intDegY270", makeIntDegRotateY(270), {-3, 2, 1}, true},
        {"intDegZ-90", makeIntDegRotateZ(-90), {2, -1, 3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const XYZ got = apply(list({c.transform}), {1, 2, 3});
        if (c.exact)
            EXPECT_EQ(got, c.want);
        else
            expectNear(got, c.want);
    }
}

TEST(MorvLCoordTransformsTest, QuarterTurnIsExactAndOthersUseTrigonometry) {
    EXPECT_EQ(apply(list({makeIntDegRotateZ(90)}), {1, 0, 0}), (XYZ{0, 1, 0}));
    const double r = 45 * kPi / 180;
    const XYZ p = apply(list({makeIntDegRotateZ(45)}), {1, 0, 0});
    EXPECT_DOUBLE_EQ(p.x, std::cos(r));
    EXPECT_DOUBLE_EQ(p.y, std::sin(r));
    EXPECT_EQ(p.z, 0.0);
}

TEST(MorvLCoordTransformsTest, WholeDegreesReduceModulo360) {
    using Make = MorvLValue (*)(std::int32_t);
    for (Make make : {&makeIntDegRotateX, &makeIntDegRotateY, &makeIntDegRotateZ}) {
        auto m = [make](std::int32_t d) { return transformMatrix(make(d)); };
        EXPECT_EQ(m(-90), m(270));
        EXPECT_EQ(m(450), m(90));
        EXPECT_EQ(m(-180), m(180));
        EXPECT_EQ(m(0), Matrix4x4::identity());
        EXPECT_EQ(m(360), Matrix4x4::identity());
        EXPECT_EQ(m(-720), Matrix4x4::identity());
        EXPECT_EQ(m(90) * m(90), m(180));
    }
}

TEST(MorvLCoordTransformsTest, LastTransformOfAListActsFirst) {
    EXPECT_EQ(transformToMatrix4x4(list({})), Matrix4x4::identity());
    const MorvLValue flip = list({makeScaleXYZ(1, -1, 1), makeTranslateXYZ(0, -1, 0)});
    EXPECT_EQ(apply(flip, {0.5, 0.25, 7}), (XYZ{0.5, 0.75, 7}));
    EXPECT_EQ(apply(list({makeTranslateXYZ(1, 0, 0), makeIntDegRotateZ(90)}), {1, 0, 0}), (XYZ{1, 1, 0}));
}

TEST(MorvLCoordTransformsTest, InvertingSingleTransforms) {
    EXPECT_EQ(invertTransformF(makeScaleXYZ(2, 0, 4)), makeScaleXYZ(0.5, 1, 0.25));
    EXPECT_EQ(invertTransformF(makeTranslateXYZ(1, -2, 0)), makeTranslateXYZ(-1, 2, 0));
    EXPECT_EQ(invertTransformF(makeRotateY(0.25)), makeRotateY(-0.25));
    EXPECT_EQ(invertTransformF(makeIntDegRotateX(90)), makeIntDegRotateX(-90));
    const MorvLValue smallest = makeIntDegRotateZ(std::numeric_limits<std::int32_t>::min());
    const Matrix4x4 undo = transformMatrix(invertTransformF(smallest)) * transformMatrix(smallest);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(undo.get(i, j), i == j ? 1.0 : 0.0, 1e-9);
}

TEST(MorvLCoordTransformsTest, InvertedListUndoesTheList) {
    const MorvLValue l = list({makeTranslateXYZ(1, 2, 3), makeRotateX(0.7), makeScaleXYZ(2, 4, 8),
                               makeIntDegRotateY(30), makeIntDegRotateZ(90)});
    const MorvLValue inv = invertTransformList(l);
    ASSERT_EQ(inv.size(), 5u);
    EXPECT_EQ(inv.at(0), makeIntDegRotateZ(-90));
    EXPECT_EQ(inv.at(4), makeTranslateXYZ(-1, -2, -3));
    expectNear(apply(inv, apply(l, {0.5, -1, 2})), {0.5, -1, 2});
    // mapSUMVALUE keeps the order.
    const MorvLValue names = mapSUMVALUE([](const MorvLValue& t) { return MorvLValue::String(t.constructorName()); }, l);
    EXPECT_EQ(names.at(0), MorvLValue::String("TranslateXYZ"));
    EXPECT_EQ(names.at(4), MorvLValue::String("IntDegRotateZ"));
}

TEST(MorvLCoordTransformsTest, MalformedTransformsAreReported) {
    const MorvLValue notSum = MorvLValue::Int(3);
    const MorvLValue unknown = MorvLValue::Sum("Shear", MorvLValue::Real(1));
    const MorvLValue rotateInt = MorvLValue::Sum("RotateX", MorvLValue::Int(1));
    const MorvLValue intDegReal = MorvLValue::Sum("IntDegRotateY", MorvLValue::Real(90));
    const MorvLValue scaleReal = MorvLValue::Sum("ScaleXYZ", MorvLValue::Real(2));
    const MorvLValue scaleBuilding = makeScaleXYZ(1, 2, 3, TransformFlavour{"Building", Kind::BUILDINGRECORD});
    const MorvLValue noZ = MorvLValue::Sum(
        "TranslateXYZ", MorvLValue::Record({{"x", MorvLValue::Real(1)}, {"y", MorvLValue::Real(1)}}));

    const std::string toMatrix = " in function MorvLCoordTransforms.transformToMatrix4x4\n";
    expectMessage<Error>([&] { transformToMatrix4x4(list({makeScaleXYZ(1, 1, 1), notSum})); },
                         "Internal Error: Expected SUMVALUE not found" + toMatrix);
    expectMessage<Error>([&] { transformToMatrix4x4(list({unknown})); },
                         "Internal Error: Invalid SUMVALUE constructor Shear" + toMatrix);
    const std::vector<std::pair<MorvLValue, std::string>> wrongArguments = {
        {rotateInt, "RotateX"}, {intDegReal, "IntDegRotateY"}, {scaleReal, "ScaleXYZ"}, {scaleBuilding, "ScaleXYZ"}};
    for (const auto& [t, name] : wrongArguments)
        expectMessage<Error>([&] { transformToMatrix4x4(list({t})); },
                             "Internal Error: Invalid SUMVALUE constructor " + name + toMatrix);
    expectMessage<Error>([&] { transformToMatrix4x4(list({noZ})); },
                         "Internal error: Record does not contain expected XYZ data in function RecordToXYZ!\n");
    expectMessage<Error>([&] { transformToMatrix4x4(notSum); },
                         "Internal Error: Expected LIST of transforms not found" + toMatrix);

    expectMessage<Error>([&] { invertTransformF(notSum); },
                         "Internal Error: Expected SUMVALUE not found in function MorvLCoordTransforms.invertTransformF\n");
    expectMessage<Error>([&] { invertTransformF(unknown); },
                         "Internal Error: Invalid SUMVALUE constructor Shear in function "
                         "MorvLCoordTransforms.invertTransformF\n");
    expectMessage<Error>([&] { invertTransformList(list({makeRotateX(1), notSum})); },
                         "Internal Error: Expected SUMVALUE not found in function MorvLCoordTransforms.mapSUMVALUE\n");
}

TEST(MorvLCoordTransformsTest, OptionValuesParseToListsInReverseOrder) {
    const auto rad = [](double degrees) { return degrees * kPi / 180.0; };
    struct Case {
        const char* text;
        std::vector<MorvLValue> want;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {" \t ,, ", {}},
        {"rx90", {makeIntDegRotateX(90)}},
        {"rx90 ry-45.5", {makeRotateY(rad(-45.5)), makeIntDegRotateX(90)}},
        {"rz 180, rx -90", {makeIntDegRotateX(-90), makeIntDegRotateZ(180)}},
        {"ry+45", {makeIntDegRotateY(45)}},
        {",rx0,,\try\t7\n", {makeIntDegRotateY(7), makeIntDegRotateX(0)}},
        {"rz.5", {makeRotateZ(rad(0.5))}},
        {"rx90.0", {makeIntDegRotateX(90)}},  // whole degrees however written
        {"rz1e2", {makeIntDegRotateZ(100)}},
        {"ry-9e1", {makeIntDegRotateY(-90)}},
        {"rx90.5", {makeRotateX(rad(90.5))}},
        {"rx-2147483648", {makeIntDegRotateX(std::numeric_limits<std::int32_t>::min())}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseCoordTransforms(c.text), list(c.want));
    }
}

TEST(MorvLCoordTransformsTest, FirstCommandWrittenActsFirst) {
    // rx90 takes z to -y, then rz90 takes -y to x; the other order would give -y.
    EXPECT_EQ(apply(parseCoordTransforms("rx90 rz90"), {0, 0, 1}), (XYZ{1, 0, 0}));
}

TEST(MorvLCoordTransformsTest, BadOptionValuesAreReported) {
    const std::string badAngle = "Value for --coordTransformsLH must be a real value.";
    struct Case {
        const char* text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"rq90", "Invalid transform command: rq"},
        {"Rx90", "Invalid transform command: Rx"},
        {"rx90 scale2", "Invalid transform command: scale"},
        {"90", "Invalid transform command: 90"},
        {"rx", badAngle},
        {"rx90 ry", badAngle},
        {"rx,90", badAngle},
        {"rx9x", badAngle},
        {"rx 1e400", badAngle},
        {"rx 2147483648", badAngle},
        {"rx99999999999999999999999", badAngle},
        {"rx nan", badAngle},
        {"rx inf", badAngle},
        {"rx+-5", badAngle},
        {"rx-", badAngle},
        {"rx1.5e", badAngle},
        {"rx 0x10", badAngle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        expectMessage<CLOptionsError>([&] { parseCoordTransforms(c.text); }, c.message);
    }
}

}  // namespace
}  // namespace morv
