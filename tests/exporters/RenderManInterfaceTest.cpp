#include "exporters/RenderManInterface.hpp"

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

struct RequestCase {
    const char* name;
    std::function<void(RI::Writer&)> request;
    const char* text;
};

TEST(RenderManInterface, EveryRequestWritesItsText) {
    const std::vector<RequestCase> cases = {
        {"light",
         [](RI::Writer& w) {
             w.lightSource("pointlight", {{&w.token("from"), RI::Value::ofPoint({0, 0, 0})},
                                          {&w.token("intensity"), RI::Value::ofReal(50)},
                                          {&w.token("lightcolor"), RI::Value::realArray({1, 1, 1})}});
         },
         "LightSource \"pointlight\" 1 \"from\" [0.0 0.0 0.0] \"intensity\" [50] \n\"lightcolor\" [ 1 1 1]\n"},
        {"format", [](RI::Writer& w) { w.format(480, 480, 1.0); }, "Format 480 480 1\n"},
        {"projection", [](RI::Writer& w) { w.projection("perspective", {{&w.token("fov"), RI::Value::ofReal(90)}}); },
         "Projection \"perspective\" \"fov\" [90]\n"},
        {"frame", [](RI::Writer& w) { w.frameBegin(0); }, "FrameBegin 0\n"},
        {"world and transform blocks",
         [](RI::Writer& w) {
             w.worldBegin();
             w.transformBegin();
             w.transformEnd();
             w.worldEnd();
             w.frameEnd();
         },
         "WorldBegin\nTransformBegin\nTransformEnd\nWorldEnd\nFrameEnd\n"},
        {"translate", [](RI::Writer& w) { w.translate(-2.5); }, "Translate 0.0 0.0 -2.5\n"},
        {"rotate", [](RI::Writer& w) { w.rotate(-30, 1, 0); }, "Rotate -30 1 0.0 0.0\n"},
        {"scale", [](RI::Writer& w) { w.scale(1, 1e-20, 1.5e20); }, "Scale 1 1e-20 1.5e+20\n"},
        {"declare", [](RI::Writer& w) { w.declare("s0", "facevarying float"); }, "Declare \"s0\" \"facevarying float\"\n"},
        {"colour and opacity",
         [](RI::Writer& w) {
             w.color({0.5, 0, 1});
             w.opacity({0.25, 0.25, 0.25});
         },
         "Color [ 0.5 0.0 1]\nOpacity [ 0.25 0.25 0.25]\n"},
        {"surface",
         [](RI::Writer& w) {
             w.surface("Wood", {{&w.token("Kd"), RI::Value::ofReal(0.8)},
                                {&w.declare("textureName0", "string"), RI::Value::ofString("w.tif.tex")}});
         },
         "Declare \"textureName0\" \"string\"\nSurface \"Wood\" \"Kd\" [0.8] \"textureName0\" [\"w.tif.tex\"]\n"},
        {"strings escape backslashes and quotes",
         [](RI::Writer& w) {
             w.makeTexture("C:\\new\\a\"b.tif", "a.tex", w.token("periodic"), w.token("periodic"), w.token("gaussian"), 2, 2, {});
         },
         "MakeTexture \"C:\\\\new\\\\a\\\"b.tif\" \"a.tex\" \"periodic\" \"periodic\" \n\"gaussian\" 2 2\n"},
        {"polygons",
         [](RI::Writer& w) {
             w.pointsGeneralPolygons(ints({1, 1}), ints({3, 3}), ints({0, 1, 2, 2, 1, 3}),
                                     {{&w.token("P"), RI::Value::pointList([](const RI::PointSink& sink) {
                                           for (int i = 0; i < 4; ++i) sink({double(i), -0.5, 0});
                                       })}});
         },
         "PointsGeneralPolygons [ 1 1] [ 3 3] [ 0 1 2 2 1 3] \"P\" [ 0.0 \n-0.5 0.0 1 -0.5 0.0 2 -0.5 0.0 3 -0.5 0.0]\n"},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(requestText(c.request), c.text);
    }
}

// Soft spaces break a long list into lines that end with the space and reach column 61.
TEST(RenderManInterface, LongListsBreakRightAfterASoftSpace) {
    const std::string text = requestText([](RI::Writer& w) {
        w.pointsGeneralPolygons(ints(std::vector<std::int64_t>(200, 1)), ints({}), ints({}), {});
    });
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        if (lines.peek() != EOF) {
            EXPECT_EQ(line.back(), ' ') << line;
            EXPECT_TRUE(line.size() == 61 || line.size() == 62) << line;  // the space that reached column 61 ends it
        }
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

    std::string out;
    w.begin(out);
    w.worldBegin();
    w.end();
    EXPECT_THROW_MSG(w.worldEnd(), EGeneric, "ERROR in RIB generator: No RIB file is open! (outF)\n");
    EXPECT_EQ(out, "version 3.03\nWorldBegin\n");
}

TEST(RenderManInterface, NumbersWithoutTextAreRefused) {
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        std::string out;
        RI::Writer w;
        w.begin(out);
        EXPECT_THROW(w.real(bad), Error);
        EXPECT_EQ(out.find("inf"), std::string::npos);
        EXPECT_EQ(out.find("nan"), std::string::npos);
    }
}

TEST(RenderManInterface, TokensAreTheStandardNamesAndWhatIsDeclared) {
    RI::TokenTable table;
    EXPECT_EQ(table.size(), 107u);  // 108 registrations, "abort" twice
    EXPECT_EQ(table.find("P")->serial, 0);
    EXPECT_EQ(&table.add("abort"), table.find("abort"));
    EXPECT_EQ(table.find("luminosity"), nullptr);
    EXPECT_EQ(table.add("luminosity").serial, 107);

    RI::Writer w;
    EXPECT_THROW(w.token("s0"), Bug);
    std::string out;
    w.begin(out);
    w.declare("s0", "vertex float");
    EXPECT_EQ(w.token("s0").name, "s0");
}

}  // namespace
}  // namespace morv
