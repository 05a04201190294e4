// The one way every writer finishes a file: bytes go through a large buffer to
// a temporary file in the destination's folder, and commit() renames it over
// the destination only when everything is written. A failure, or an
// OutputFile dropped without commit(), removes the temporary file, so a
// destination is either complete or as it was before.
//
// A destination that is a stream (see isStream) cannot be replaced that way;
// it is written directly (a pipe without a reader is an error, never a wait).
// A destination that is a symbolic link is resolved, so the link stays and
// its target is replaced. A destination's folder is the one the system
// resolves, links and ".." included, exactly as open would: with l a link to
// real/sub, "l/../m.lwo" is "real/m.lwo".
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
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morv {

// Whether name is a stream rather than a file that can be replaced: an
// existing device, pipe or socket, or a name that stands for a descriptor of
// the process (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/PID/fd/N), itself or through links, whatever the descriptor refers to.
bool isStream(const std::string& name);

// The name a destination is written to: the absolute path of its folder as
// the system resolves it (links, "." and ".." followed), then its last
// component. A name whose folder does not exist, or whose last component is
// "." or "..", comes back as it is (opening it fails).
std::string writtenName(const std::string& name);

// Whether name is a regular file (itself or through links) holding exactly
// bytes. Opens nothing that could block, such as a pipe.
bool holdsExactly(const std::string& name, std::string_view bytes);

// Removes every temporary file of the process that is not yet in place.
// Safe to call from a signal handler.
void removeTemporaryFiles() noexcept;

// The signals that end a run after removeTemporaryFiles(): SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGXFSZ (a file size limit reached).
std::span<const int> endingSignals();

// A file finished while its run held replacements back.
struct HeldFile {
    std::string destination;  // as the writer named it
    std::string temporary;    // the finished file, still removed by an ending signal
    std::string target;       // the existing file it replaces
};

// While replacements are held, commit() of a file that would replace an
// existing one finishes it and keeps it aside instead of putting it in place,
// so that the file it replaces can still be read (a run of several objects
// puts its outputs in place only once every object has found its pictures).
void holdReplacements(bool hold);
// The files kept aside since the last call, in the order they were finished.
std::vector<HeldFile> takeHeldFiles();
// Puts a held file in place; raises Error("Could not write output file " +
// destination + ": " + reason) and removes it when that fails.
void placeHeldFile(const HeldFile& file);
// Removes a held file; its target stays as it was.
void dropHeldFile(const HeldFile& file) noexcept;

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
