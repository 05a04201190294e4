#include "support/NeutralFileName.hpp"

#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

struct ParseCase {
    const char* name;
    bool absolute;
    std::optional<std::string> volume;
    const char* path;
    bool warns;
};

TEST(NeutralFileNameTest, ParsesUnixAndDosNames) {
    const ParseCase cases[] = {
        {"textures/wood.bmp", false, std::nullopt, "textures/wood.bmp", false},
        {"/usr/share/tex/a.bmp", true, std::nullopt, "usr/share/tex/a.bmp", false},
        {"C:\\textures\\wood.bmp", true, "C", "textures/wood.bmp", false},
        {"Work:/tex\\mixed.iff", true, "Work", "tex/mixed.iff", false},
        {"a//b\\\\c/", false, std::nullopt, "a/b/c", false},
        {"..\\tex\\a.bmp", false, std::nullopt, "../tex/a.bmp", false},
        {"", false, std::nullopt, "", false},
        {"\\", true, std::nullopt, "", false},
        // Unsupported: the empty volume, a relative path with a volume, ":" inside an element.
        {":\\a.bmp", true, "", "a.bmp", true},
        {"C:a.bmp", false, "C", "a.bmp", true},
        {"C:", false, "C", "", true},
        {"dir/my:file.bmp", false, std::nullopt, "dir/my:file.bmp", true},
        {"C:\\a:b.bmp", true, "C", "a:b.bmp", true},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out;
        const MorvLValue n = anyFileNameToMorvLNeutral(c.name, out);
        ASSERT_EQ(n.kind(), Kind::RECORD);
        EXPECT_EQ(getFileNameAbsolute(n), c.absolute);
        EXPECT_EQ(getFileNameVolume(n), c.volume);
        EXPECT_EQ(n.fields().find("volume").has_value(), c.volume.has_value());
        EXPECT_EQ(getFileNamePath(n), c.path);
        EXPECT_EQ(!out.str().empty(), c.warns);
    }
}

TEST(NeutralFileNameTest, UnsupportedNameWarningLines) {
    std::ostringstream out;
    anyFileNameToMorvLNeutral(":\\a.bmp", out);
    EXPECT_EQ(out.str(),
              "The filename :\\a.bmp is not supported!\n"
              "The program have the following limitations on filenames:\n"
              "1) Filenames may not contain '/', '\\' or ':'.\n"
              "2) DOS filenames may not refer to the empty volume (i.e. '').\n"
              "3) DOS filenames may not contain relative paths including a volume name.\n"
              "The program will continue to run, but it may cause problems.\n"
              "If this gives you problems, please mail morv3d-support@example.org\n");
}

struct RenderCase {
    const char* name;
    const char* unixName;
    const char* windows;
};

TEST(NeutralFileNameTest, RendersForUnixAndWindows) {
    const RenderCase cases[] = {
        {"C:\\textures\\wood.bmp", "C/textures/wood.bmp", "C:\\textures\\wood.bmp"},
        {"/usr/tex/a.bmp", "/usr/tex/a.bmp", "\\usr\\tex\\a.bmp"},
        {"tex/sub/a.bmp", "tex/sub/a.bmp", "tex\\sub\\a.bmp"},
        {"a.bmp", "a.bmp", "a.bmp"},
        {":\\a.bmp", "/a.bmp", "C:\\a.bmp"},
        {"C:a.bmp", "C/a.bmp", "a.bmp"},
        {"D:/", "D/", "D:\\"},
    };
    for (const RenderCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream warnings;
        const MorvLValue n = anyFileNameToMorvLNeutral(c.name, warnings);
        const std::string unixName = neutralToPlatform("Unix", n);
        const std::string windows = neutralToPlatform("Windows", n);
        EXPECT_EQ(unixName, c.unixName);
        EXPECT_EQ(windows, c.windows);
        EXPECT_EQ(unixName.find('\\'), std::string::npos);
        EXPECT_EQ(windows.find('/'), std::string::npos);
        if (!getFileNameAbsolute(n)) {
            EXPECT_NE(windows.front(), '\\');
            if (!getFileNameVolume(n)) {
                EXPECT_NE(unixName.front(), '/');
            }
        }
    }
}

TEST(NeutralFileNameTest, WindowsRenderingParsesBackToTheSameName) {
    for (const char* name : {"C:\\textures\\wood.bmp", "tex\\a.bmp", "\\root\\a.bmp", "Z:\\"}) {
        SCOPED_TRACE(name);
        const MorvLValue n = anyFileNameToMorvLNeutral(name);
        EXPECT_EQ(neutralToPlatform("Windows", n), name);
        EXPECT_EQ(anyFileNameToMorvLNeutral(neutralToPlatform("Windows", n)), n);
    }
}

TEST(NeutralFileNameTest, FieldReaderAndPlatformFailures) {
    const MorvLValue noFields = MorvLValue::Record({});
    const MorvLValue wrongKind = MorvLValue::Record(
        {Field{"absolute", MorvLValue::String("yes")}, Field{"path", MorvLValue::Int(3)}});
    EXPECT_THROW_MSG(getFileNameAbsolute(noFields), EGeneric, "Field absolute not found in getFileNameAbsolute");
    EXPECT_THROW_MSG(getFileNamePath(noFields), EGeneric, "Field path not found in getFileNamePath");
    EXPECT_THROW_MSG(getFileNameAbsolute(wrongKind), EGeneric, "Field absolute not found in getFileNameAbsolute");
    EXPECT_THROW_MSG(getFileNamePath(wrongKind), EGeneric, "Field path not found in getFileNamePath");
    EXPECT_THROW_MSG(getFileNamePath(MorvLValue::Int(1)), EGeneric, "Field path not found in getFileNamePath");
    EXPECT_THROW_MSG(neutralToPlatform("unix", makeNeutralFileName(false, std::nullopt, "a")), EGeneric,
                     "Unknown platform unix in neutralToPlatform\n");
    try {
        neutralToPlatform("Mac", makeNeutralFileName(false, std::nullopt, "a"));
        FAIL() << "no exception";
    } catch (const EGeneric& e) {
        EXPECT_FALSE(e.bug);
        EXPECT_EQ(e.type, "Error");
    }
}

struct RewriteCase {
    const char* name;
    const char* fromRoot;
    const char* extension;
    const char* toRoot;
    const char* unixName;
};

TEST(NeutralFileNameTest, TextureNameOptions) {
    const RewriteCase cases[] = {
        // Roots match whole leading elements with the same absolute flag and volume.
        {"textures/a.bmp", "tex", "", "", "textures/a.bmp"},
        {"textures/a.bmp", "textures", "", "", "a.bmp"},
        {"textures/sub/a.bmp", "textures\\", "", "", "sub/a.bmp"},
        {"textures/a.bmp", "textures/a.bmp", "", "", "textures/a.bmp"},
        {"C:\\lw\\images\\wood.iff", "C:/lw", "", "", "images/wood.iff"},
        {"C:\\lw\\images\\wood.iff", "D:\\lw", "", "", "C/lw/images/wood.iff"},
        {"C:\\lw\\images\\wood.iff", "/lw", "", "", "C/lw/images/wood.iff"},
        {"lw/images/wood.iff", "/lw", "", "", "lw/images/wood.iff"},
        {"/lw/a.bmp", "/", "", "", "lw/a.bmp"},
        // Extension: text after the last "." that is neither first nor last.
        {"a.tga", "", "bmp", "", "a.bmp"},
        {"dir/a.b.tga", "", "bmp", "", "dir/a.b.bmp"},
        {"dir.v2/image", "", "bmp", "", "dir.v2/image.bmp"},
        {"tex/.hidden", "", "bmp", "", "tex/.hidden.bmp"},
        {"a.", "", "bmp", "", "a..bmp"},
        // Adding a root takes its absolute flag and volume.
        {"a.bmp", "", "", "/home/me/tex", "/home/me/tex/a.bmp"},
        {"sub/a.bmp", "", "", "maps", "maps/sub/a.bmp"},
        {"/abs/a.bmp", "", "", "/new", "/new/abs/a.bmp"},
        // Order: strip, then extension, then add.
        {"C:\\lw\\images\\wood.iff", "C:\\lw\\images", "bmp", "/home/me/tex", "/home/me/tex/wood.bmp"},
        {"x/a.bmp", "x", "", "y", "y/a.bmp"},
    };
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " from=" + c.fromRoot + " ext=" + c.extension + " to=" + c.toRoot);
        const MorvLValue n = anyFileNameToMorvLNeutral(c.name);
        EXPECT_EQ(neutralToPlatform("Unix", rewriteTextureFileName(n, c.fromRoot, c.extension, c.toRoot)),
                  c.unixName);
    }
}

TEST(NeutralFileNameTest, TextureRootsKeepTheirVolumeForWindows) {
    const MorvLValue n = anyFileNameToMorvLNeutral("/old/maps/a.iff");
    const MorvLValue r = rewriteTextureFileName(n, "/old", "tga", "D:\\game");
    EXPECT_EQ(neutralToPlatform("Windows", r), "D:\\game\\maps\\a.tga");
    EXPECT_EQ(rewriteTextureFileName(n, "", "", ""), n);
}

TEST(NeutralFileNameTest, RootsAreParsedWithoutWarning) {
    std::ostringstream out;
    anyFileNameToMorvLNeutral("a.bmp", out);
    EXPECT_EQ(out.str(), "");
    ::testing::internal::CaptureStdout();
    rewriteTextureFileName(anyFileNameToMorvLNeutral("a.bmp"), "C:", "", "C:rel");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace morv
