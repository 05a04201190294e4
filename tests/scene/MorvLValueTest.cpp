#include "scene/MorvLValue.hpp"

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

using V = MorvLValue;

Fields sample() {
    return V::Record({{"i", V::Int(7)},
                      {"r", V::Real(2.5)},
                      {"s", V::String("text")},
                      {"b", V::Bool(true)},
                      {"c", V::Colour({0.25, 0.5, 1.0})},
                      {"l", V::List({V::Int(1), V::Int(2)})},
                      {"a", V::Array({V::Real(1.0)})},
                      {"rec", makePointRecord(1, 2, 3)},
                      {"i", V::Int(99)}})
        .fields();
}

TEST(MorvLValue, StaysSixteenBytes) { EXPECT_EQ(sizeof(MorvLValue), 16u); }

TEST(MorvLValue, AccessorsReturnPayloadsOfThePresentField) {
    const Fields f = sample();
    EXPECT_EQ(findIntegerField(f, "i"), 7);  // the first of two fields named i
    EXPECT_EQ(forceGetIntegerField(f, "i"), 7);
    EXPECT_EQ(getRealField(f, "r", 0), 2.5);
    EXPECT_EQ(forceGetRealField(f, "r"), 2.5);
    EXPECT_EQ(getStringField(f, "s", ""), "text");
    EXPECT_EQ(forceGetStringField(f, "s"), "text");
    EXPECT_TRUE(getBooleanField(f, "b", false));
    EXPECT_EQ(getColorField(f, "c", {}), (Color{0.25, 0.5, 1.0}));
    EXPECT_EQ(getListField(f, "l", V::List({})).size(), 2u);
    EXPECT_EQ(forceGetListField(f, "l").at(1).asInt(), 2);
    EXPECT_EQ(findListField(f, "l")->size(), 2u);
    EXPECT_EQ(getArrayField(f, "a", V::Array({})).size(), 1u);
    EXPECT_EQ(forceGetArrayField(f, "a").size(), 1u);
    EXPECT_EQ(RecordToXYZ(getRecordField(f, "rec")), (XYZ{1, 2, 3}));
}

TEST(MorvLValue, AbsentFieldsGiveDefaultsOrTheirMessages) {
    const Fields f = sample();
    EXPECT_FALSE(findIntegerField(f, "none").has_value());
    EXPECT_FALSE(findListField(f, "none").has_value());
    EXPECT_EQ(getStringField(f, "none", "dflt"), "dflt");
    EXPECT_EQ(getRealField(f, "none", -1.5), -1.5);
    EXPECT_THROW_MSG(forceGetListField(f, "none"), Error, "Could not find field none in forceGetField");
    EXPECT_THROW_MSG(forceGetIntegerField(f, "none"), Error, "Could not find field none in forceGetField");
    EXPECT_THROW_MSG(getRecordField(f, "mesh"), Error, "Expected field mesh not found in MorvL record!\n");
    EXPECT_THROW_MSG(requireField(f, "mesh"), Error, "Expected field mesh not found in MorvL record!\n");
}

TEST(MorvLValue, WrongKindsNameTheExpectedKindAndTheAccessor) {
    const Fields f = sample();
    struct Case {
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {[&] { getRealField(f, "i", 0); }, "real match error: function getRealField"},
        {[&] { getStringField(f, "r", ""); }, "string match error: function getStringField"},
        {[&] { getBooleanField(f, "s", false); }, "bool match error: function getBooleanField"},
        {[&] { getColorField(f, "b", {}); }, "color match error: function getColorField"},
        {[&] { getListField(f, "a", V::List({})); }, "list match error: function getListField"},
        {[&] { getArrayField(f, "l", V::List({})); }, "array match error: function getArrayField"},
        {[&] { findIntegerField(f, "r"); }, "int match error: function findIntegerField"},
        {[&] { findListField(f, "a"); }, "list match error: function findListField"},
        {[&] { forceGetRealField(f, "i"); }, "real match error: function forceGetRealField"},
        {[&] { forceGetStringField(f, "i"); }, "string match error: function forceGetStringField"},
        {[&] { getRecordField(f, "i"); }, "record match error: function getRecordField"},
        {[&] { updateIntegerField(f, "r", [](int x) { return x; }); }, "int match error: function updateIntegerField"},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(c.call(), Error, c.message);
}

TEST(MorvLValue, UpdateReplacesOnlyTheFirstFieldAndKeepsOrder) {
    const Fields f = sample();
    const Fields g = updateIntegerField(f, "i", [](std::int32_t x) { return x + 1; });
    EXPECT_EQ(g.size(), f.size());
    EXPECT_EQ(g.name(0), "i");
    EXPECT_EQ(g.value(0).asInt(), 8);
    EXPECT_EQ(g.value(8).asInt(), 99);
    EXPECT_EQ(forceGetIntegerField(f, "i"), 7);  // the original is untouched
    const Fields h = updateRecordField(f, "rec", [](const Fields& p) { return setField(p, "x", V::Real(5)); });
    EXPECT_EQ(RecordToXYZ(getRecordField(h, "rec")), (XYZ{5, 2, 3}));
    EXPECT_THROW_MSG(updateArrayField(f, "none", [](const V& v) { return v; }), Error,
                     "Expected field none not found in MorvL record!\n");
}

TEST(MorvLValue, WrappersCheckTheRecordKind) {
    const V rec = makePointRecord(1, 2, 3);
    const V building = rec.asBuilding();
    EXPECT_EQ(wrapRECORD(rec, [](const Fields& f) { return f.size(); }), 3u);
    EXPECT_EQ(wrapBUILDINGRECORD(building, [](const Fields& f) { return f.size(); }), 3u);
    EXPECT_EQ(wrapInRECORD(rec, [](const Fields& f) { return f; }).kind(), Kind::RECORD);
    EXPECT_EQ(wrapInBUILDINGRECORD(building, [](const Fields& f) { return f; }).kind(), Kind::BUILDINGRECORD);
    const V list = V::List({});
    EXPECT_THROW_MSG(wrapRECORD(list, [](const Fields& f) { return f.size(); }), Error,
                     "record match error: in function wrapRECORD");
    EXPECT_THROW_MSG(wrapInRECORD(building, [](const Fields& f) { return f; }), Error,
                     "record match error: in function wrapInRECORD");
    EXPECT_THROW_MSG(wrapBUILDINGRECORD(rec, [](const Fields& f) { return f.size(); }), Error,
                     "record match error: in function wrapBUILDINGRECORD");
    EXPECT_THROW_MSG(wrapInBUILDINGRECORD(rec, [](const Fields& f) { return f; }), Error,
                     "record match error: in function wrapInBUILDINGRECORD");
}

TEST(MorvLValue, PointAndTextureCoordinateRecords) {
    EXPECT_EQ(RecordToST(makeSTRecord(0.5, 0.25).fields()).t, 0.25);
    const Fields intPoint = V::Record({{"x", V::Int(1)}, {"y", V::Real(1)}, {"z", V::Real(1)}}).fields();
    EXPECT_THROW_MSG(RecordToXYZ(intPoint), Error,
                     "Internal error: Record does not contain expected XYZ data in function RecordToXYZ!\n");
    EXPECT_THROW_MSG(RecordToST(makePointRecord(0, 0, 0).fields()), Error,
                     "Internal error: Record does not contain expected ST data in function RecordToST!\n");
}

TEST(MorvLValue, PackedRecordsHandOutOrdinaryRecords) {
    PackedRecords points({"x", "y", "z"}, 2);
    points.setReals(0, {1, 4});
    points.setReals(1, {2, 5});
    points.setReals(2, {3, 6});
    PackedRecords corners({"vertex"}, 3);
    corners.setInts(0, {0, 1, 0});
    PackedRecords rows({"point", "corners", "tag"}, 2);
    rows.setNested(0, std::move(points));
    rows.setSlices(1, std::move(corners), {0, 2, 3});
    rows.setValues(2, {V::String("a"), V::Absent()});
    const V list = std::move(rows).toList();

    ASSERT_EQ(list.size(), 2u);
    const Fields second = list.at(1).fields();
    EXPECT_EQ(second.record().kind(), Kind::RECORD);
    EXPECT_EQ(RecordToXYZ(getRecordField(second, "point")), (XYZ{4, 5, 6}));
    EXPECT_EQ(forceGetListField(second, "corners").size(), 1u);
    EXPECT_EQ(second.size(), 2u);  // the absent tag is not a field of this row
    EXPECT_EQ(getStringField(second, "tag", "none"), "none");
    EXPECT_EQ(getStringField(list.at(0).fields(), "tag", "none"), "a");
    const V firstCorners = forceGetListField(list.at(0).fields(), "corners");
    EXPECT_EQ(forceGetIntegerField(firstCorners.at(1).fields(), "vertex"), 1);
    // Packed and hand-built records with the same fields are equal.
    EXPECT_EQ(getRecordField(second, "point").record(), makePointRecord(4, 5, 6));
    // Updating a packed row gives an ordinary record with the same field order.
    const Fields moved = setField(second, "tag", V::String("b"));
    EXPECT_EQ(moved.name(2), "tag");
    EXPECT_THROW(list.at(2), std::out_of_range);
}

TEST(MorvLValue, SharedSubValuesOutliveTheirParents) {
    V inner = V::List({V::String("kept")});
    {
        const V outer = V::Record({{"l", inner}});
        inner = forceGetListField(outer.fields(), "l");
    }
    EXPECT_EQ(inner.at(0).asString(), "kept");
    V rowView;
    {
        PackedRecords rows({"s"}, 1);
        rows.setValues(0, {V::String("row")});
        rowView = std::move(rows).toList().at(0);
    }
    EXPECT_EQ(getStringField(rowView.fields(), "s", ""), "row");
}

TEST(MorvLValue, SumValues) {
    const V sum = V::Sum("IntDegRotateZ", V::Int(90));
    EXPECT_EQ(sum.constructorName(), "IntDegRotateZ");
    EXPECT_EQ(sum.argument().asInt(), 90);
    EXPECT_FALSE(sum == V::Sum("IntDegRotateZ", V::Int(91)));
}

}  // namespace
}  // namespace morv
