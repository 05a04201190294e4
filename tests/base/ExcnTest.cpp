#include "base/Excn.hpp"

#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

class ExcnTest : public ::testing::Test {
protected:
    void SetUp() override { Excn::setReportingStream(&report); }
    void TearDown() override { Excn::setReportingStream(nullptr); }
    std::ostringstream report;
};

TEST_F(ExcnTest, ComposesTheThreeCauseForms) {
    const std::string ctx = "Error: Could not read input file a.lwo\n";
    EXPECT_EQ(Excn::compose(ctx, Error("Error in GetCs.getSWord32 in readChunk length")),
              ctx + "\nThe error which caused this:\nError in GetCs.getSWord32 in readChunk length");
    EXPECT_EQ(Excn::compose(ctx, Bug("broken")), ctx + "\nThe bug which caused this:\nbroken");
    EXPECT_EQ(Excn::compose(ctx, std::out_of_range("x")),
              ctx + "\nThe exception which caused this:\nSoftware bug: Unanticipated exception of type: "
                    "Subscript raised with the following message: Subscript");
    EXPECT_EQ(Excn::compose(ctx, CLOptionsError("m")),
              ctx + "\nThe exception which caused this:\nSoftware bug: Unanticipated exception of type: "
                    "CLOptionsError raised with the following message: CLOptionsError");
    EXPECT_EQ(Excn::compose(ctx, SyntaxError("Not an IFF LWO2 file!")),
              ctx + "\nThe exception which caused this:\nSyntax error: Not an IFF LWO2 file!");
}

TEST_F(ExcnTest, RendersGenericExceptions) {
    EXPECT_EQ(Excn::toString(EGeneric(false, "Matrix4x4", "Zero divide")),
              "Generic exception of type Matrix4x4 raised: Zero divide");
    EXPECT_EQ(Excn::toString(EGeneric(true, "X", "broken")), "Software bug: broken");
    std::ostringstream out;
    Excn::output(out, EGeneric(false, "T", "m"));
    Excn::output(out, Error("m"));
    EXPECT_EQ(out.str(), "Generic exception of type T raised: mSoftware bug: Excn.output used with an exception "
                         "which is not of type EGeneric!");
}

TEST_F(ExcnTest, RaiseWithCauseReportsAndNests) {
    try {
        try {
            Excn::raiseWithCause("inner context\n", Error("root cause"));
        } catch (const Error& inner) {
            Excn::raiseWithCause("outer context\n", inner);
        }
        FAIL() << "nothing raised";
    } catch (const Error& outer) {
        EXPECT_EQ(outer.message(),
                  "outer context\n\nThe error which caused this:\ninner context\n\nThe error which caused this:\n"
                  "root cause");
    }
    EXPECT_EQ(report.str(),
              "inner context\n\nThe error which caused this:\nroot cause\n"
              "outer context\n\nThe error which caused this:\ninner context\n\nThe error which caused this:\n"
              "root cause\n");
}

TEST_F(ExcnTest, OtherSettingsRaiseWithoutText) {
    EXPECT_THROW(Excn::raiseWithCause("c", Error("m"), Excn::Setting::PrintAndRaiseBug), Bug);
    try {
        Excn::raiseWithCause("c", Error("m"), Excn::Setting::PrintAndRaiseBareError);
    } catch (const Error& e) {
        EXPECT_FALSE(e.hasMessage());
    }
    std::ostringstream out;
    EXPECT_THROW_MSG(Excn::raiseWithCauseTo(out, "c", Bug("m")), Error, "c\nThe bug which caused this:\nm");
    EXPECT_EQ(out.str(), "c\nThe bug which caused this:\nm");
}

TEST(ExceptionName, StandardExceptionsMapToTheirKinds) {
    EXPECT_EQ(exceptionName(std::bad_alloc()), "Size");
    EXPECT_EQ(exceptionName(std::out_of_range("")), "Subscript");
    EXPECT_EQ(exceptionName(std::overflow_error("")), "Overflow");
    EXPECT_EQ(exceptionName(std::runtime_error("")), "Fail");
    EXPECT_EQ(exceptionName(NoImporterFound()), "NoImporterFound");
    EXPECT_EQ(exceptionName(BrushSyntaxError("x")), "SyntaxError");
}

}  // namespace
}  // namespace morv
