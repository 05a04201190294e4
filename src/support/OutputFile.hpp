// The one way every writer finishes a file: bytes go through a large buffer to
// a temporary file in the destination's folder, and commit() renames it over
// the destination only when everything is written. A failure, or an
// OutputFile dropped without commit(), removes the temporary file, so a
// destination is either complete or as it was before.
//
// A destination that is a stream (see isStream) cannot be replaced that way;
// it is written directly (a pipe without a reader is an error, never a wait).
// A destination that is a symbolic link is resolved, so the link stays and
// its target is replaced. A destination's ".." steps are taken lexically
// before any link is followed: "l/../m.lwo" is "m.lwo" whatever l links to.
//
// When a signal ends the process, removeTemporaryFiles() takes away every
// temporary file that is not yet in place.
//
// The rule for threads: the list of temporary files is changed with the
// ending signals blocked in the changing thread, so a handler in that thread
// never sees it half changed. A handler in another thread would, so every
// thread but the main one runs with all signals blocked (BackgroundWriter
// starts its thread so), and only the main thread opens, commits or drops an
// OutputFile; other threads may only write to one.
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

// The name a destination is written to: name with "." and ".." steps taken
// lexically ("a/./b/../c" is "a/c").
std::string writtenName(const std::string& name);

// Whether name is a regular file (itself or through links) holding exactly
// bytes. Opens nothing that could block, such as a pipe.
bool holdsExactly(const std::string& name, std::string_view bytes);

// Removes every temporary file of the process that is not yet in place.
// Safe to call from a signal handler.
void removeTemporaryFiles() noexcept;

class OutputFile {
public:
    enum class Mode {
        Replace,    // commit() puts the file in place of any older one
        CreateNew,  // commitIfAbsent() puts it in place only where no file of that name exists
    };

    // Opens the temporary file; raises Error("Could not open output file " +
    // destination + ": " + the system's reason).
    explicit OutputFile(std::string destination, Mode mode = Mode::Replace);
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
    // For Mode::CreateNew: writes the rest and links the file to its name
    // when no file (nor link, nor anything else) of that name exists, so
    // that even a process writing the same name at the same time is never
    // replaced. False, and the temporary file gone, when the name exists.
    bool commitIfAbsent();

    static constexpr std::size_t blockSize = std::size_t{1} << 20;

private:
    void flushBlock();
    [[noreturn]] void raiseOpenFailure();
    [[noreturn]] void raiseWriteFailure(int error);
    void discard() noexcept;
    void openStream();
    void openTemporary(Mode mode);
    void attach(int fd, const char* mode);

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
