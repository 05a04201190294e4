#include "support/PictureSearch.hpp"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

enum class EntryKind { File, Folder };

// One folder's names, read once: exact names, and each file name in lower
// case with the first of its spellings in byte order.
struct Listing {
    std::unordered_map<std::string, EntryKind> entries;
    std::unordered_map<std::string, std::string> filesByLowerCase;
};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

Listing readListing(const fs::path& folder) {
    Listing listing;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kindError;
        const std::string name = it->path().filename().string();
        if (it->is_regular_file(kindError)) {
            listing.entries.emplace(name, EntryKind::File);
            auto [at, added] = listing.filesByLowerCase.emplace(lowerCase(name), name);
            if (!added && name < at->second) at->second = name;
        } else if (it->is_directory(kindError)) {
            listing.entries.emplace(name, EntryKind::Folder);
        }
    }
    return listing;
}

// The listings of the run, by folder.
const Listing& listingOf(const fs::path& folder) {
    static std::mutex guard;
    static std::unordered_map<std::string, Listing> listings;
    const std::lock_guard<std::mutex> lock(guard);
    const auto found = listings.find(folder.string());
    if (found != listings.end()) return found->second;
    return listings.emplace(folder.string(), readListing(folder)).first->second;
}

// folder/parts... as a file, through the listings; the last part's case ignored when asked.
std::optional<fs::path> lookUp(fs::path folder, const std::vector<std::string>& parts, std::size_t first,
                               bool ignoreCase) {
    for (std::size_t i = first; i + 1 < parts.size(); ++i) {
        const Listing& listing = listingOf(folder);
        const auto it = listing.entries.find(parts[i]);
        if (it == listing.entries.end() || it->second != EntryKind::Folder) return std::nullopt;
        folder /= parts[i];
    }
    const Listing& listing = listingOf(folder);
    if (!ignoreCase) {
        const auto it = listing.entries.find(parts.back());
        if (it == listing.entries.end() || it->second != EntryKind::File) return std::nullopt;
        return folder / parts.back();
    }
    const auto it = listing.filesByLowerCase.find(lowerCase(parts.back()));
    if (it == listing.filesByLowerCase.end()) return std::nullopt;
    return folder / it->second;
}

std::vector<std::string> pathElements(const MorvLValue& storedName) {
    std::vector<std::string> parts;
    const std::string path = getFileNamePath(storedName);
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The name as the user sees it: relative to the current folder for a relative object name.
std::string shownName(const fs::path& found, const fs::path& current, bool showRelative) {
    const fs::path shown = showRelative ? found.lexically_relative(current) : found;
    return (shown.empty() ? found : shown).string();
}

}  // namespace

std::optional<std::string> findImageFile(const std::string& platformName, const std::string& objectFile) {
    std::error_code ec;
    if (fs::is_regular_file(platformName, ec)) return platformName;
    const fs::path name(platformName);
    const fs::path current = fs::current_path(ec);
    if (platformName.empty() || name.is_absolute() || objectFile.empty() || ec) return std::nullopt;
    const bool showRelative = !fs::path(objectFile).is_absolute();
    // ".." in the object's name is taken lexically, as the shell's cd takes it.
    fs::path folder = (current / objectFile).lexically_normal().parent_path();
    for (;;) {
        const fs::path candidate = (folder / name).lexically_normal();
        if (folder != current && fs::is_regular_file(candidate, ec)) return shownName(candidate, current, showRelative);
        if (folder == folder.root_path() || !folder.has_relative_path()) return std::nullopt;
        folder = folder.parent_path();
    }
}

std::optional<std::string> findImageFile(const std::string& platformName, const MorvLValue& storedName,
                                         const std::string& objectFile) {
    if (auto found = findImageFile(platformName, objectFile)) return found;
    std::error_code ec;
    const fs::path current = fs::current_path(ec);
    const std::vector<std::string> parts = pathElements(storedName);
    if (ec || parts.empty() || objectFile.empty()) return std::nullopt;
    const bool showRelative = !fs::path(objectFile).is_absolute();
    const fs::path objectFolder = (current / objectFile).lexically_normal().parent_path();
    for (const bool ignoreCase : {false, true}) {
        for (std::size_t first = 0; first < parts.size(); ++first) {
            for (fs::path folder = objectFolder;; folder = folder.parent_path()) {
                if (const auto found = lookUp(folder, parts, first, ignoreCase))
                    return shownName(*found, current, showRelative);
                if (folder == folder.root_path() || !folder.has_relative_path()) break;
            }
        }
    }
    return std::nullopt;
}

}  // namespace morv
