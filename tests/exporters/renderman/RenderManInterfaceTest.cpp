// The RenderMan Interface layer: string escapes, soft-space line breaking and
// the failing state of a closed writer (the RIB writer's tests show the rest).
#include "exporters/renderman/RenderManInterface.hpp"

#include <cmath>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

// The text of one request written right after begin (without the version line).
std::string requestText(const std::function<void(RI::Writer&)>& request) {
    std::string out;
    RI::Writer w;
    w.begin(out);
    request(w);
    return out.substr(std::string("version 3.03\n").size());
}

RI::IntSource ints(std::vector<std::int64_t> values) {
    return [values](const RI::IntSink& sink) {
        for (auto v : values) sink(v);
    };
}

// Strings: in quotes, backslashes and quotes escaped; as parameter values, in
// brackets; a soft space may break the line before any argument.
TEST(RenderManInterface, StringsAreWrittenEscaped) {
    EXPECT_EQ(requestText([](RI::Writer& w) {
                  w.makeTexture("C:\\new\\a\"b.tif", "a.tex", w.token("periodic"), w.token("periodic"), w.token("gaussian"),
                                2, 2, {});
              }),
              "MakeTexture \"C:\\\\new\\\\a\\\"b.tif\" \"a.tex\" \"periodic\" \"periodic\" \n\"gaussian\" 2 2\n");
    EXPECT_EQ(requestText([](RI::Writer& w) {
                  w.surface("Wood", {{&w.declare("textureName0", "string"), RI::Value::ofString("w.tif.tex")}});
              }),
              "Declare \"textureName0\" \"string\"\nSurface \"Wood\" \"textureName0\" [\"w.tif.tex\"]\n");
}

// Soft spaces break a long list into lines that end with the space that reached column 61.
TEST(RenderManInterface, LongListsBreakRightAfterASoftSpace) {
    std::istringstream lines(requestText([](RI::Writer& w) {
        w.pointsGeneralPolygons(ints(std::vector<std::int64_t>(200, 1)), ints({}), ints({}), {});
    }));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        if (lines.peek() == EOF) break;
        EXPECT_EQ(line.back(), ' ') << line;
        EXPECT_TRUE(line.size() == 61 || line.size() == 62) << line;
    }
    EXPECT_GT(count, 5);
}

TEST(RenderManInterface, ClosedWriterFailsInTheProcedureUsedFirst) {
    RI::Writer w;
    EXPECT_THROW_MSG(w.outF("x"), EGeneric, "ERROR in RIB generator: No RIB file is open! (outF)\n");
    EXPECT_THROW_MSG(w.outNLF(), EGeneric, "ERROR in RIB generator: No RIB file is open! (outNLF)\n");
    EXPECT_THROW_MSG(w.outSPF(), EGeneric, "ERROR in RIB generator: No RIB file is open! (outSPF)\n");
    EXPECT_THROW_MSG(w.countF(), EGeneric, "ERROR in RIB generator: No RIB file is open! (countF)\n");
    EXPECT_THROW_MSG(w.end(), EGeneric, "No RIB file has been opened! (End)\n");
    EXPECT_THROW(w.token("s0"), Bug);  // neither a standard token nor declared

    std::string out;
    w.begin(out);
    w.worldBegin();
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_THROW(w.real(bad), Error);
    w.declare("s0", "vertex float");
    EXPECT_EQ(w.token("s0").name, "s0");
    w.end();
    EXPECT_THROW_MSG(w.worldEnd(), EGeneric, "ERROR in RIB generator: No RIB file is open! (outF)\n");
    EXPECT_EQ(out, "version 3.03\nWorldBegin\nDeclare \"s0\" \"vertex float\"\n");
}

}  // namespace
}  // namespace morv
