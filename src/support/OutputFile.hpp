// The one way every writer finishes a file: bytes go through a large buffer to
// a temporary file in the destination's folder, and commit() renames it over
// the destination only when everything is written. A failure, or an
// OutputFile dropped without commit(), removes the temporary file, so a
// destination is either complete or as it was before.
//
// A destination that is a stream (see isStream) cannot be replaced that way;
// it is written directly. A destination that is a symbolic link is resolved,
// so the link stays and its target is replaced.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace morv {

// Whether name is a stream rather than a file that can be replaced: an
// existing device, pipe or socket, or a name that stands for a descriptor of
// the process (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/PID/fd/N), itself or through links, whatever the descriptor refers to.
bool isStream(const std::string& name);

class OutputFile {
public:
    // Opens the temporary file; raises Error("Could not open output file " +
    // destination + ": " + the system's reason).
    explicit OutputFile(std::string destination);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    void write(std::string_view bytes);
    void put(char c) {
        buffer_.push_back(c);
        flushIfFull();
    }
    // For writers that format straight into the buffer: append to buffer(),
    // then call flushIfFull().
    std::string& buffer() { return buffer_; }
    void flushIfFull() {
        if (buffer_.size() >= blockSize) flushBlock();
    }

    // Bytes written so far, in the file or still in the buffer.
    std::uint64_t size() const { return flushed_ + buffer_.size(); }
    const std::string& destination() const { return destination_; }

    // Writes the rest, closes the file and puts it in place. Write failures
    // raise Error("Could not write output file " + destination + ": " + reason).
    void commit();
    // Writes the rest and closes the file without putting it in place, for a
    // writer that completes several files before it puts any of them in
    // place; commit() then only renames. Failures raise as in commit().
    void finish();

    static constexpr std::size_t blockSize = std::size_t{1} << 20;

private:
    void flushBlock();
    [[noreturn]] void raiseOpenFailure();
    [[noreturn]] void raiseWriteFailure(int error);
    void discard() noexcept;

    std::string destination_;
    std::string target_;     // the file that is replaced: the destination, or what its link points to
    std::string temporary_;  // empty when writing directly
    std::FILE* file_ = nullptr;
    std::string buffer_;
    std::uint64_t flushed_ = 0;
    bool finished_ = false;
    bool committed_ = false;
};

}  // namespace morv
