// Hands full blocks of text to a second thread that writes them to an
// OutputFile, so that writing one block and formatting the next overlap. One
// block is formatted while at most one other is written. A block of a megabyte
// is still in the shared cache when the kernel copies it; larger ones are
// copied from memory, at twice the system time.
//
// The thread starts with every signal blocked (see OutputFile.hpp): signals
// are taken by the main thread, whose handler removes the temporary files. A
// write failure in the thread (a full disk, a file size limit) is kept and
// raised to the caller by the next handOver or by finish(); the OutputFile,
// never committed, then removes its temporary file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace morv {

class OutputFile;

class BackgroundWriter {
public:
    static constexpr std::size_t blockBytes = std::size_t{1} << 20;

    explicit BackgroundWriter(OutputFile& file);
    ~BackgroundWriter() { stop(); }
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    std::string& buffer() { return current_; }
    void flushIfFull() {
        if (current_.size() >= blockBytes) handOver();
    }
    // Everything written, the thread ended; a write failure is raised here.
    void finish();

private:
    void handOver();
    void stop();
    void run();

    OutputFile& file_;
    std::string current_, writing_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false, stopping_ = false;
    std::exception_ptr error_;
    std::thread thread_;  // last: it starts once the rest is ready
};

}  // namespace morv
