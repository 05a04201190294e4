#include "driver/RunGuard.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <initializer_list>
#include <ostream>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
#include "scene/CanonicalScene.hpp"
#include "support/NeutralFileName.hpp"

namespace morv {

std::string fileIdentity(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0)
        return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(name, ec).lexically_normal();
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
    return "path " + (ec ? absolute : resolved).string();
}

std::string outputIdentity(const std::string& name) { return fileIdentity(writtenName(name)); }

void reportAndRaise(const std::string& text, std::ostream& out) {
    out.flush();
    Excn::reportingStream() << text << '\n';
    throw Error(text);
}

RunGuard::RunGuard(const std::vector<Job>& jobs, bool keepGoing, std::ostream& out) {
    const auto refuse = [&](std::initializer_list<const Job*> clashing, const std::string& text) {
        if (!keepGoing) reportAndRaise(text, out);
        for (const Job* job : clashing) refusals_.try_emplace(job, text);
    };
    for (const Job& job : jobs) inputs_.emplace(fileIdentity(job.input), &job);
    for (const Job& job : jobs) {
        if (job.destination.empty()) continue;  // a format that writes no file
        const std::string identity = outputIdentity(job.destination);
        if (auto it = inputs_.find(identity); it != inputs_.end()) {
            const std::string& victim = it->second->input;
            if (it->second == &job)
                refuse({&job}, "Error: The destination file " + job.destination + " is the input file " + victim +
                                   " itself; writing it would destroy the input.\n"
                                   "Please choose another name with --destFileName=<file>.");
            else
                refuse({&job}, "Error: The destination file " + job.destination + " of the input file " +
                                   job.input + " is the input file " + victim +
                                   "; writing it would destroy that input.\n"
                                   "Please convert these files in separate runs, each with --destFileName=<file>.");
        }
        const auto [it, added] = outputs_.emplace(identity, &job);
        if (!added)
            refuse({it->second, &job}, "Error: The input files " + it->second->input + " and " + job.input +
                                           " would both be written to " + job.destination +
                                           "; the second would replace the first.\n"
                                           "Please convert them in separate runs, each with --destFileName=<file>.");
    }
}

const std::string* RunGuard::refusal(const Job& job) const {
    const auto it = refusals_.find(&job);
    return it == refusals_.end() ? nullptr : &it->second;
}

void RunGuard::raisePictureClash(const Picture& picture, const Job& writer, std::ostream& out) const {
    reportAndRaise("Error: The image file " + printableBytes(picture.name) + ", which the input file " +
                       picture.reader->input + " names, is also the destination file " + writer.destination +
                       " of the input file " + writer.input +
                       "; a run never writes over a picture it reads.\n"
                       "Please choose another destination with --destFileName=<file> or --destDir=<folder>.",
                   out);
}

void RunGuard::checkPictures(const Job& job, const MorvLValue& scene, std::ostream& out) {
    const MorvLValue images = getSurfacesImages(scene).second;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const auto source = images.at(i).fields().find("sourceFile");
        if (!source) continue;
        const Picture picture{&job, source->asString()};
        const std::string identity = fileIdentity(picture.name);
        pictures_.try_emplace(identity, picture);
        if (const auto it = outputs_.find(identity); it != outputs_.end()) raisePictureClash(picture, *it->second, out);
    }
}

void RunGuard::checkDestination(const Job& job, std::ostream& out) const {
    if (pictures_.empty() || job.destination.empty()) return;
    if (const auto it = pictures_.find(outputIdentity(job.destination)); it != pictures_.end())
        raisePictureClash(it->second, job, out);
}

bool RunGuard::isRunFile(const std::string& file) const {
    const std::string identity = outputIdentity(file);
    return inputs_.contains(identity) || outputs_.contains(identity) || pictures_.contains(identity);
}

void RunGuard::hold(const Job& job, std::vector<HeldFile> files) {
    if (!files.empty()) held_[&job] = std::move(files);
}

void RunGuard::placeHeld(const Job& job, std::ostream& out, bool quietClash) {
    const auto it = held_.find(&job);
    if (it == held_.end()) return;
    const std::vector<HeldFile> files = std::move(it->second);
    held_.erase(it);
    if (pictures_.contains(outputIdentity(job.destination))) {
        for (const HeldFile& file : files) dropHeldFile(file);
        if (quietClash) return;
        checkDestination(job, out);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        try {
            placeHeldFile(files[i]);
        } catch (const std::exception& e) {
            for (std::size_t j = i + 1; j < files.size(); ++j) dropHeldFile(files[j]);
            out.flush();
            Excn::raiseWithCause("Error: Could not write output file " + job.destination + "\n", e);
        }
    }
}

void RunGuard::dropHeld() noexcept {
    for (const auto& [job, files] : held_)
        for (const HeldFile& file : files) dropHeldFile(file);
    held_.clear();
}

}  // namespace morv
