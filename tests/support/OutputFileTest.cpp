// A destination is complete or as it was: nothing partial, no temporary file
// left behind, links and permissions kept.
#include "support/OutputFile.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

using OutputFileTest = testing::ScratchDirTest;

TEST_F(OutputFileTest, OnlyACommittedFileReplacesTheDestination) {
    const fs::path path = dir / "out.txt";
    std::ofstream(path) << "older";
    ::chmod(path.c_str(), 0640);
    {
        OutputFile out(path.string());
        out.write(std::string(3 * OutputFile::blockSize, 'x'));  // some of it reaches the disk
        EXPECT_EQ(contents(path), "older");
    }  // dropped: a failure part-way
    EXPECT_EQ(contents(path), "older");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "the temporary file is gone";

    OutputFile out(path.string());
    out.write("new");
    out.put('!');
    EXPECT_EQ(out.size(), 4u);
    out.commit();
    EXPECT_EQ(contents(path), "new!");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    fs::create_symlink("out.txt", dir / "link.txt");  // a link keeps pointing at the new file
    OutputFile throughLink((dir / "link.txt").string());
    throughLink.write("newer");
    throughLink.commit();
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(contents(path), "newer");
}

TEST_F(OutputFileTest, DestinationsThatCannotBeWrittenRaise) {
    EXPECT_THROW_MSG(OutputFile((dir / "missing" / "x.txt").string()), Error,
                     "Could not open output file " + (dir / "missing" / "x.txt").string() +
                         ": No such file or directory");
    EXPECT_THROW_MSG(OutputFile(dir.string()), Error, "Could not open output file " + dir.string() + ": Is a directory");
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    OutputFile full("/dev/full");  // a device is written directly, and never removed
    full.write("x");
    EXPECT_THROW_MSG(full.commit(), Error, "Could not write output file /dev/full: No space left on device");
    EXPECT_TRUE(fs::exists("/dev/full"));
}

}  // namespace
}  // namespace morv
