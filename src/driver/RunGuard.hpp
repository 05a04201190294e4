// The guards of a run's files: no destination is an input of the run, another
// job's destination or a picture a job reads, compared by what the system
// sees (see fileIdentity); and outputs that replace files are put in place
// only once every job has found its pictures, so that each object is read
// once.
#pragma once

#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

#include "scene/MorvLValue.hpp"
#include "support/OutputFile.hpp"

namespace morv {

struct Job {
    std::string input;
    std::string destination;
};

// What identifies the file a name refers to: its device and inode when it
// exists (so links and other spellings of one file agree), otherwise its
// absolute path with links and dots resolved.
std::string fileIdentity(const std::string& name);

// The identity of a file the run writes: that of its written name (see
// writtenName), whose folder the system resolves as open does.
std::string outputIdentity(const std::string& name);

// Writes text and "\n" to the reporting stream (out flushed first) and
// raises Error(text).
[[noreturn]] void reportAndRaise(const std::string& text, std::ostream& out);

class RunGuard {
public:
    // Finds every clash of the jobs before anything is read: a destination
    // that is a job's input (which a run must never destroy, whether it is
    // read before or after) or another job's destination. Without keepGoing
    // the first clash is reported and raised; with it, every job in a clash
    // keeps the clash's text as its refusal (both jobs of one destination, the
    // writing job of a destroyed input).
    RunGuard(const std::vector<Job>& jobs, bool keepGoing, std::ostream& out);

    // The text that refuses the job, or null.
    const std::string* refusal(const Job& job) const;

    // Records the pictures the job has found (the images' sourceFile); raises
    // when one of them is a destination of the run.
    void checkPictures(const Job& job, const MorvLValue& scene, std::ostream& out);
    // Raises when the job's destination is a picture an earlier job read.
    void checkDestination(const Job& job, std::ostream& out) const;

    // An input or destination of the run, or a picture a job has read.
    bool isRunFile(const std::string& file) const;

    // The outputs the job finished while replacements were held.
    void hold(const Job& job, std::vector<HeldFile> files);
    bool holds(const Job& job) const { return held_.contains(&job); }
    // Puts the job's held outputs in place; when its destination is a picture
    // that a job read, drops them and raises as checkDestination (or, with
    // quietClash, without a word: a run ended by that clash has said it).
    void placeHeld(const Job& job, std::ostream& out, bool quietClash = false);
    // Drops every held output not yet placed.
    void dropHeld() noexcept;

private:
    struct Picture {
        const Job* reader;
        std::string name;
    };
    [[noreturn]] void raisePictureClash(const Picture& picture, const Job& writer, std::ostream& out) const;

    std::unordered_map<std::string, const Job*> inputs_;
    std::unordered_map<std::string, const Job*> outputs_;
    std::unordered_map<std::string, Picture> pictures_;
    std::unordered_map<const Job*, std::string> refusals_;
    std::unordered_map<const Job*, std::vector<HeldFile>> held_;
};

}  // namespace morv
