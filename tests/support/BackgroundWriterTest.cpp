// The brush writer's background thread: a write that fails in the thread
// reaches the caller with nothing left behind. (That its blocks reach the
// file in order, every brush the program writes in the other tests shows.)
#include "support/BackgroundWriter.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"
#include "support/OutputFile.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using BackgroundWriterTest = testing::ScratchDirTest;

// Writes blocks blocks of BackgroundWriter::blockBytes through a
// BackgroundWriter into path, each block of its own letter, and commits.
void writeBlocks(const fs::path& path, int blocks) {
    OutputFile file(path.string());
    BackgroundWriter writer(file);
    for (int b = 0; b < blocks; ++b) {
        writer.buffer().append(BackgroundWriter::blockBytes, static_cast<char>('a' + b));
        writer.flushIfFull();
    }
    writer.buffer() += "end";
    writer.finish();
    file.commit();
}

// A file size limit makes the thread's write fail (SIGXFSZ, ignored here as
// it is blocked in the thread, then EFBIG).
TEST_F(BackgroundWriterTest, AWriteFailureInTheThreadReachesTheCallerAndLeavesNothing) {
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = BackgroundWriter::blockBytes / 2;
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const fs::path path = dir / "out.txt";
    EXPECT_THROW_MSG(writeBlocks(path, 4), Error,
                     "Could not write output file " + path.string() + ": File too large");
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(fs::is_empty(dir)) << "neither the destination nor a temporary file";
}

}  // namespace
}  // namespace morv
