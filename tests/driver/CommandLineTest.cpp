#include "driver/CommandLine.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "common/RunProgram.hpp"
#include "common/TestHelpers.hpp"
#include "scene/MorvLCoordTransforms.hpp"

namespace morv {
namespace {

using Args = std::vector<std::string>;

constexpr std::string_view usageAfterName =
    R"( <options> MyObject1.Lwo [MyObject2.Lwo ...]

Supported options:

  --toOSType=Windows            : Generate Windows-style texture filenames
  --toOSType=Unix               : Generate Unix-style texture filenames
  --fromTextureRoot=<root>      : Remove prefix <root> in texture filenames
  --toTextureRoot=<root>        : Add prefix <root> to texture filenames
  --textureExtension=<ext>      : Set extension of texture filenames to .<ext>
  --textureWidth=<width>        : Unreal textures are <width> pixels wide
  --textureHeight=<height>      : Unreal textures are <height> pixels high
  --forceTextureResolution=true : Disable autodetection of texture resolutions
  --scale=<factor>              : Scale object by <factor>
  --coordTransformsLH=<trans>   : Apply a list of coordinate transforms
  --destFileName=<file>         : Write to the destination file <file>
  --destDir=<folder>            : Write every output into the folder <folder>
  --keepGoing=true              : Convert the other files when one fails
  --keepSurfaces=true           : Keep surfaces, textures and UV maps in LWO2
  --subdivisionLevel=<n>        : Refine cages <n> levels in glTF (0 to 6, default 3)
  --to=<format>                 : Convert to <format> which is one of:

       RIB                : RenderMan RIB format
       Unreal.T3D         : Unreal brush format
       LWO2               : LightWave3D Object format (after version [6])
       glTF               : glTF 2.0 binary (.glb)
       Info               : no file; one JSON line per input on standard output
                            (layers, counts, surfaces, pictures found or not, warnings)

)";

std::string expectedUsage(std::string_view programName) {
    return "Usage: " + std::string(programName) + std::string(usageAfterName);
}

std::string severalFilesText(const std::string& dest) {
    return "You are trying to convert several files and yet you want all files to be called " + dest +
           ".\nThis is a bad idea, so please remove the option --destFileName=" + dest +
           " or specify only 1 file to be converted.\n\n";
}

ConversionOptions scan(const Args& args) {
    std::vector<std::string> inputs;
    return scanOptions(args, inputs);
}

TEST(CommandLineText, UsageAndBannerAreExact) {
    EXPECT_EQ(usageText("morv3d"), expectedUsage("morv3d"));
    EXPECT_EQ(usageText(""), expectedUsage(""));
    EXPECT_EQ(bannerText(), "Morv3D Converter (0.4.9)\n\n");
}

// The manual page documents every option of the usage text (.ci/run checks
// that it renders without a warning).
TEST(CommandLineText, ManualPageHasEveryOption) {
    std::ostringstream page;
    page << std::ifstream(MORV3D_SOURCE_DIR "/docs/morv3d.1").rdbuf();
    std::istringstream usage(usageText("morv3d"));
    for (std::string line; std::getline(usage, line);) {
        if (!line.starts_with("  --")) continue;
        EXPECT_NE(page.str().find("\\-\\-" + line.substr(4, line.find('=') - 3)), std::string::npos) << line;
    }
}

struct BadOption {
    Args args;
    std::string message;
};

TEST(CommandLineScan, BadOptionsGiveTheirMessage) {
    const std::vector<BadOption> table = {
        {{"--to=rib"}, "Unsupported format rib"},
        {{"--to="}, "Unsupported format "},
        {{"--to=RIB "}, "Unsupported format RIB "},
        {{"--scale"}, "Options must have the format: --<option>=<value> but you have: --scale"},
        {{"--"}, "Options must have the format: --<option>=<value> but you have: --"},
        {{"--ab=xy=z"}, "Unsupported option --ab"},
        {{"--=x"}, "Unsupported option --"},
        {{"--Scale=1"}, "Unsupported option --Scale"},
        {{"---scale=1"}, "Unsupported option ---scale"},
        {{"--scale=abc"}, "Value for --scale must be a real value."},
        {{"--scale="}, "Value for --scale must be a real value."},
        {{"--textureWidth=1e999"}, "Value for --textureWidth must be a real value."},
        {{"--textureHeight=12px"}, "Value for --textureHeight must be a real value."},
        {{"--toOSType=unix"}, "Only --toOSType=Unix and --toOSType=Windows is supported."},
        {{"--toOSType="}, "Only --toOSType=Unix and --toOSType=Windows is supported."},
        {{"--keepSurfaces=yes"}, "Only --keepSurfaces=true and --keepSurfaces=false is supported."},
        {{"--keepGoing=1"}, "Only --keepGoing=true and --keepGoing=false is supported."},
        {{"--subdivisionLevel=7"}, "Value for --subdivisionLevel must be a whole number from 0 to 6."},
        {{"--subdivisionLevel=03"}, "Value for --subdivisionLevel must be a whole number from 0 to 6."},
        {{"--subdivisionLevel=2.0"}, "Value for --subdivisionLevel must be a whole number from 0 to 6."},
        {{"--destDir=out", "--destFileName=x.rib"}, "Only one of --destDir=<folder> and --destFileName=<file> can be given."},
        {{"--coordTransformsLH=foo"}, "Invalid transform command: foo"},
        // The scan stops at the first bad option, whatever follows.
        {{"a.lwo", "--to=x", "--scale=y"}, "Unsupported format x"},
        {{"--to=\xff\xfe"}, "Unsupported format \xff\xfe"},
        {{"--\xc3\xa9t\xc3\xa9=1"}, "Unsupported option --\xc3\xa9t\xc3\xa9"},
    };
    for (const BadOption& c : table)
        EXPECT_THROW_MSG(scan(c.args), CLOptionsError, c.message);
}

TEST(CommandLineScan, ValuesAreStoredAndTheLastOccurrenceWins) {
    std::vector<std::string> inputs;
    const ConversionOptions o = scanOptions(
        {"--scale=2", "f", "--scale=3", "--to=LWO2", "--to=Unreal.T3D", "--toOSType=Windows",
         "--destFileName=x=y.lwo", "--textureExtension=png", "--textureExtension=",
         "--toTextureRoot=C:\\tex", "--fromTextureRoot=/home/t", "--textureWidth=+64",
         "--textureHeight=1.5e2", "--forceTextureResolution=true", "--keepSurfaces=true",
         "--subdivisionLevel=6", "--subdivisionLevel=0"},
        inputs);
    EXPECT_EQ(inputs, Args{"f"});
    EXPECT_EQ(o.scale, 3.0);
    EXPECT_EQ(o.to, "Unreal.T3D");
    EXPECT_EQ(o.toOSType, "Windows");
    EXPECT_EQ(o.destFileName, "x=y.lwo");
    EXPECT_EQ(o.textureExtension, "");
    EXPECT_EQ(o.toTextureRoot, "C:\\tex");
    EXPECT_EQ(o.fromTextureRoot, "/home/t");
    EXPECT_EQ(o.textureWidth, 64.0);
    EXPECT_EQ(o.textureHeight, 150.0);
    EXPECT_TRUE(o.forceTextureResolution);
    EXPECT_TRUE(o.keepSurfaces);
    EXPECT_EQ(o.subdivisionLevel, 0);
}

TEST(CommandLineScan, DefaultsWithoutOptions) {
    std::vector<std::string> inputs;
    const ConversionOptions o = scanOptions({}, inputs);
    EXPECT_TRUE(inputs.empty());
    EXPECT_EQ(o.to, "RIB");
    EXPECT_EQ(o.destFileName, "");
    EXPECT_EQ(o.coordTransformsLH, MorvLValue::List({}));
    EXPECT_EQ(o.scale, 0.0);
    EXPECT_FALSE(o.forceTextureResolution);
    EXPECT_EQ(o.textureWidth, 512.0);
    EXPECT_EQ(o.textureHeight, 512.0);
    EXPECT_EQ(o.toOSType, "Unix");
    EXPECT_EQ(o.subdivisionLevel, 3);
}

TEST(CommandLineScan, OnlyTheExactValueTrueForcesResolution) {
    for (const char* value : {"yes", "TRUE", "True", "1", "", "true "})
        EXPECT_FALSE(scan({std::string("--forceTextureResolution=") + value}).forceTextureResolution)
            << value;
    EXPECT_FALSE(scan({"--forceTextureResolution=true", "--forceTextureResolution=yes"})
                     .forceTextureResolution);
}

TEST(CommandLineScan, EverythingWithoutLeadingDashesIsAnInputInOrder) {
    std::vector<std::string> inputs;
    scanOptions({"-x", "b.lwo", "--to=LWO2", "x.lwo", "-", "", "a b", "-=-", "--scale=1", "-x"}, inputs);
    EXPECT_EQ(inputs, (Args{"-x", "b.lwo", "x.lwo", "-", "", "a b", "-=-", "-x"}));
}

TEST(CommandLineScan, TransformListIsParsedWhenScanned) {
    const ConversionOptions o = scan({"--coordTransformsLH=rx90 ry-45.5"});
    EXPECT_EQ(o.coordTransformsLH, parseCoordTransforms("rx90 ry-45.5"));
    EXPECT_EQ(o.coordTransformsLH.size(), 2u);
    EXPECT_EQ(scan({"--coordTransformsLH=rx90", "--coordTransformsLH="}).coordTransformsLH,
              MorvLValue::List({}));
}

TEST(CommandLineScan, HugeValuesAndManyArguments) {
    const std::string big(1 << 20, 'v');
    std::vector<std::string> inputs;
    const ConversionOptions o = scanOptions({"--destFileName=" + big, big}, inputs);
    EXPECT_EQ(o.destFileName, big);
    EXPECT_EQ(inputs, Args{big});
    EXPECT_THROW_MSG(scan({"--to=" + big}), CLOptionsError, "Unsupported format " + big);

    Args many;
    for (int i = 0; i < 20000; ++i) many.push_back(i % 2 ? "--scale=" + std::to_string(i) : "f");
    inputs.clear();
    EXPECT_EQ(scanOptions(many, inputs).scale, 19999.0);
    EXPECT_EQ(inputs.size(), 10000u);
}

TEST(CommandLineReal, AcceptedSpellings) {
    const std::vector<std::pair<std::string, double>> table = {
        {"0", 0.0},          {"2", 2.0},          {"+2", 2.0},         {"-2", -2.0},
        {"~2", -2.0},        {"0.5", 0.5},        {".5", 0.5},         {"5.", 5.0},
        {"~.25", -0.25},     {"1e3", 1000.0},     {"1E3", 1000.0},     {"1e+3", 1000.0},
        {"2.5e-1", 0.25},    {"2.5e~1", 0.25},    {"~1.5E~2", -0.015}, {"007", 7.0},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
    };
    for (const auto& [text, value] : table)
        EXPECT_EQ(readRealOption("--scale", text), value) << text;
    EXPECT_TRUE(std::signbit(readRealOption("--scale", "~0")));
}

TEST(CommandLineReal, RejectedSpellings) {
    for (const char* text :
         {"", " 1", "1 ", "+", "-", "~", ".", "+.", "e5", ".e5", "1e", "1e+", "1e~", "1.2.3", "--1",
          "+-1", "~~1", "1e5e5", "inf", "nan", "~inf", "0x10", "1,5", "1f", "1e1.5", "\xff",
          "1e999", "~1e999", "1e-999"})
        EXPECT_THROW_MSG(readRealOption("--textureWidth", text), CLOptionsError,
                         "Value for --textureWidth must be a real value.");
}

TEST(CommandLineChecks, NoInputPrintsMessageAndUsage) {
    std::ostringstream out;
    EXPECT_FALSE(parseCommandLine({"--to=LWO2"}, "prog", out));
    EXPECT_EQ(out.str(), "No input files specified!\n" + expectedUsage("prog"));
}

TEST(CommandLineChecks, OneDestinationForSeveralFilesIsRefused) {
    std::ostringstream out;
    EXPECT_FALSE(parseCommandLine({"a.lwo", "--destFileName=out.rib", "b.lwo"}, "prog", out));
    EXPECT_EQ(out.str(), severalFilesText("out.rib") + expectedUsage("prog"));
}

TEST(CommandLineChecks, AcceptedLinesCarryOptionsInputsAndExtension) {
    const std::vector<std::pair<Args, std::string>> table = {
        {{"m.lwo"}, "rib"},
        {{"--to=LWO2", "m.lwo"}, "lwo"},
        {{"m.lwo", "--to=Unreal.T3D"}, "t3d"},
        {{"m.lwo", "--to=glTF"}, "glb"},
        {{"--destFileName=out.rib", "m.lwo"}, "rib"},
    };
    for (const auto& [args, extension] : table) {
        std::ostringstream out;
        const std::optional<CommandLine> line = parseCommandLine(args, "prog", out);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->extension, extension);
        EXPECT_EQ(line->inputs, Args{"m.lwo"});
        EXPECT_EQ(out.str(), "");
    }
    std::ostringstream out;
    EXPECT_EQ(parseCommandLine({"b", "--scale=2", "a"}, "prog", out)->inputs, (Args{"b", "a"}));
}

TEST(CommandLineChecks, UnknownFormatHasNoExtension) {
    std::ostringstream out;
    EXPECT_EQ(outputExtension("rib", out), "unknown");
    EXPECT_EQ(out.str(), "Internal error: Unsupported format rib\n");
}

// ---- The built program: banner, check or option message, usage, status 0. ----

using testing::ProgramResult;
using testing::runProgram;

// A fresh directory holding x.lwo, a file no importer recognises: a run that
// tried to convert it would end with status 1.
class CommandLineProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("morv3d-cli-") + info->name() + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "x.lwo") << "not an object\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    ProgramResult run(const Args& args) { return runProgram(args, dir_.string()); }

    // Exactly banner + text + usage on stdout, nothing on stderr, status 2
    // (a wrong command line), and no file written.
    void expectStopsWith(const Args& args, const std::string& text) {
        const ProgramResult r = run(args);
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, bannerText() + text + expectedUsage(MORV3D_EXE));
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++files;
        EXPECT_EQ(files, 1u);
    }

    std::filesystem::path dir_;
};

struct StopCase {
    Args args;
    std::string text;  // what stands between banner and usage
};

TEST_F(CommandLineProgram, StopsWithMessageAndUsage) {
    const std::string noInput = "No input files specified!\n";
    const std::string pixels = " must be a number of pixels from 1 to 65536 (or 0 for the default of 512).\n";
    const std::vector<StopCase> table = {
        {{}, noInput},
        {{"--to=rib", "x.lwo"}, "Unsupported format rib\n"},
        {{"--to=RIB", "--to=rib", "x.lwo"}, "Unsupported format rib\n"},
        // Each occurrence is checked: a later good value does not excuse a bad one.
        {{"--to=rib", "--to=RIB"}, "Unsupported format rib\n"},
        {{"--scale", "x.lwo"}, "Options must have the format: --<option>=<value> but you have: --scale\n"},
        {{"--to=", "x.lwo"}, "Unsupported format \n"},
        {{"--ab=xy=z", "x.lwo"}, "Unsupported option --ab\n"},
        {{"--=x", "x.lwo"}, "Unsupported option --\n"},
        {{"--scale=abc", "x.lwo"}, "Value for --scale must be a real value.\n"},
        {{"--textureWidth=", "x.lwo"}, "Value for --textureWidth must be a real value.\n"},
        {{"--textureWidth=-5", "x.lwo"}, "Value for --textureWidth" + pixels},
        {{"--textureHeight=1e-300", "x.lwo"}, "Value for --textureHeight" + pixels},
        {{"--textureHeight=65537", "x.lwo"}, "Value for --textureHeight" + pixels},
        {{"--toOSType=unix", "x.lwo"}, "Only --toOSType=Unix and --toOSType=Windows is supported.\n"},
        {{"--coordTransformsLH=foo", "x.lwo"}, "Invalid transform command: foo\n"},
        {{"--keepGoing=yes", "x.lwo"}, "Only --keepGoing=true and --keepGoing=false is supported.\n"},
        {{"--subdivisionLevel=7", "x.lwo"}, "Value for --subdivisionLevel must be a whole number from 0 to 6.\n"},
        {{"--destFileName=a", "x.lwo", "--destDir=d"}, "Only one of --destDir=<folder> and --destFileName=<file> can be given.\n"},
        // A bad option after a file name still converts nothing.
        {{"x.lwo", "--destFileName=out.rib", "--bad=1"}, "Unsupported option --bad\n"},
        {{"x.lwo", "--to=\xff\xfe"}, "Unsupported format \xff\xfe\n"},
        {{"--\xc3\xa9t\xc3\xa9=1"}, "Unsupported option --\xc3\xa9t\xc3\xa9\n"},
        // Accepted values, then the no-input check.
        {{"--forceTextureResolution=yes", "--forceTextureResolution=TRUE"}, noInput},
        {{"--scale=0", "--textureExtension=", "--coordTransformsLH=", "--destFileName=x=y.lwo"}, noInput},
        {{"--toOSType=Windows", "--to=Unreal.T3D", "--scale=~1.5e2", "--textureHeight=65536"}, noInput},
        {{"--subdivisionLevel=0", "--subdivisionLevel=6"}, noInput},
        // -x and x.lwo are both input names.
        {{"x.lwo", "--destFileName=out.rib", "-x"}, severalFilesText("out.rib")},
        {{"x.lwo", "x.lwo", "--destFileName=out.rib"}, severalFilesText("out.rib")},
    };
    for (const StopCase& c : table) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expectStopsWith(c.args, c.text);
    }
}

// Asking for the usage or the version is no error; -h is an input name.
TEST_F(CommandLineProgram, HelpAndVersionEndWithStatus0) {
    const struct {
        Args args;
        int status;
        std::string out;
    } table[] = {
        {{"--help"}, 0, bannerText() + expectedUsage(MORV3D_EXE)},
        {{"x.lwo", "--bad", "--help"}, 0, bannerText() + expectedUsage(MORV3D_EXE)},
        {{"--version"}, 0, "Morv3D Converter (0.4.9)\n"},
        {{"--to=LWO2", "--version", "x.lwo"}, 0, "Morv3D Converter (0.4.9)\n"},
        {{"-h"}, 1, bannerText()},
        {{"--help=1"}, 2, bannerText() + "Unsupported option --help\n" + expectedUsage(MORV3D_EXE)},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ProgramResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(CommandLineProgram, ManyAndLongArguments) {
    Args manyOptions(5000, "--scale=1.5");
    expectStopsWith(manyOptions, "No input files specified!\n");

    Args manyInputs(3000, "x.lwo");
    manyInputs.push_back("--destFileName=o");
    expectStopsWith(manyInputs, severalFilesText("o"));

    // One argument may hold at most 128 KiB on Linux; ten of 100 KB make 1 MB.
    const std::string long100k(100000, 'q');
    Args longValues(10, "--textureExtension=" + long100k);
    expectStopsWith(longValues, "No input files specified!\n");
    expectStopsWith({"x.lwo", "--to=" + long100k}, "Unsupported format " + long100k + "\n");
    expectStopsWith({"x.lwo", "x.lwo", "--destFileName=" + long100k}, severalFilesText(long100k));
}

TEST_F(CommandLineProgram, OddArgumentsNeverCrash) {
    const std::vector<Args> table = {
        {""},
        {"", "--destFileName="},
        {"\xff\xfe\x01", "--to=LWO2"},
        {"--scale=" + std::string(100000, '9'), "x.lwo"},
        {"--coordTransformsLH=" + std::string(100000, ' '), "nowhere.lwo"},
        {"--coordTransformsLH=rx" + std::string(100000, '9')},
        {"-", "--", "x.lwo"},
        {"x.lwo", "--to=Unreal.T3D", "--scale=~1e308", "--textureWidth=0"},
    };
    for (const Args& args : table) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ProgramResult r = run(args);
        EXPECT_FALSE(r.signaled) << "signal " << r.status;
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.status;
        EXPECT_EQ(r.out.rfind(bannerText(), 0), 0u);
    }
}

}  // namespace
}  // namespace morv
