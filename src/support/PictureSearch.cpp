#include "support/PictureSearch.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/NeutralFileName.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

// Folders and names are plain strings here: a search tries many of them per
// picture, and std::filesystem's paths would cost more than the rest of it.

// The files of one folder (links followed) in lower case, each with its
// spelling, sorted (within one lower-case name, the first spelling in byte
// order first): read once, for the search that ignores case.
using Listing = std::vector<std::pair<std::string, std::string>>;

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

Listing readListing(const std::string& folder) {
    Listing listing;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return listing;
    while (const dirent* entry = ::readdir(dir)) {
        bool file = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            file = ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
        }
        if (file) listing.emplace_back(lowerCase(entry->d_name), entry->d_name);
    }
    ::closedir(dir);
    std::sort(listing.begin(), listing.end());
    return listing;
}

// What the run has learnt of its folders: their listings, and which paths are folders.
struct Folders {
    std::mutex guard;
    std::unordered_map<std::string, Listing> listings;
    std::unordered_map<std::string, bool> isFolder;
};

Folders& runFolders() {
    static Folders folders;
    return folders;
}

bool isFolder(const std::string& path) {
    Folders& run = runFolders();
    const std::lock_guard<std::mutex> lock(run.guard);
    const auto found = run.isFolder.find(path);
    if (found != run.isFolder.end()) return found->second;
    struct stat info {};
    const bool folder = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return run.isFolder.emplace(path, folder).first->second;
}

// The file of folder whose name equals name but for case, the first in byte order.
std::optional<std::string> fileIgnoringCase(const std::string& folder, const std::string& name) {
    Folders& run = runFolders();
    const std::lock_guard<std::mutex> lock(run.guard);
    auto it = run.listings.find(folder);
    if (it == run.listings.end()) it = run.listings.emplace(folder, readListing(folder)).first;
    const Listing& listing = it->second;
    const std::string key = lowerCase(name);
    const auto at = std::lower_bound(listing.begin(), listing.end(), std::pair<std::string, std::string>(key, ""));
    if (at == listing.end() || at->first != key) return std::nullopt;
    return at->second;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string joined(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.back() != '/') path += '/';
    return path.append(name);
}

// folder/parts... from parts[first] on, as a file; the last part's case
// ignored when asked. The folders on the way are remembered for the run; only
// the search that ignores case reads a folder.
std::optional<std::string> lookUp(std::string folder, const std::vector<std::string>& parts, std::size_t first,
                                  bool ignoreCase) {
    for (std::size_t i = first; i + 1 < parts.size(); ++i) {
        folder = joined(folder, parts[i]);
        if (!isFolder(folder)) return std::nullopt;
    }
    if (!ignoreCase) {
        std::string path = joined(folder, parts.back());
        return isRegularFile(path) ? std::optional(std::move(path)) : std::nullopt;
    }
    const auto name = fileIgnoringCase(folder, parts.back());
    return name ? std::optional(joined(folder, *name)) : std::nullopt;
}

// Where a search starts: the folder of the object file and each folder above it, up to the root.
struct SearchStart {
    std::string current;
    std::vector<std::string> folders;
    bool showRelative = false;
};

std::optional<SearchStart> searchStart(const std::string& objectFile) {
    std::error_code ec;
    SearchStart start;
    start.current = fs::current_path(ec).string();
    if (ec || objectFile.empty()) return std::nullopt;
    start.showRelative = !fs::path(objectFile).is_absolute();
    // ".." in the object's name is taken lexically, as the shell's cd takes it.
    std::string folder = (fs::path(start.current) / objectFile).lexically_normal().parent_path().string();
    for (;;) {
        start.folders.push_back(folder);
        const std::size_t slash = folder.find_last_of('/');
        if (folder.size() <= 1 || slash == std::string::npos) return start;
        folder.resize(slash == 0 ? 1 : slash);
    }
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
std::string shownName(const std::string& found, const SearchStart& start) {
    if (!start.showRelative) return found;
    const fs::path shown = fs::path(found).lexically_relative(start.current);
    return shown.empty() ? found : shown.string();
}

// A relative name beside the object, then in each folder above it.
std::optional<std::string> besideOrAbove(const std::string& platformName, const SearchStart& start) {
    // A name with "." or ".." in it is taken lexically too.
    const bool dotted = ("/" + platformName + "/").find("/.") != std::string::npos;
    // A name in a folder is tried only where that folder is (remembered for the run).
    const std::size_t slash = dotted ? std::string::npos : platformName.find('/');
    for (const std::string& folder : start.folders) {
        if (folder == start.current) continue;  // the name itself was tried first
        if (slash != std::string::npos && !isFolder(joined(folder, std::string_view(platformName).substr(0, slash))))
            continue;
        std::string candidate = joined(folder, platformName);
        if (dotted) candidate = fs::path(candidate).lexically_normal().string();
        if (isRegularFile(candidate)) return shownName(candidate, start);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> findImageFile(const std::string& platformName, const std::string& objectFile) {
    if (isRegularFile(platformName)) return platformName;
    if (platformName.empty() || platformName.front() == '/') return std::nullopt;
    const auto start = searchStart(objectFile);
    return start ? besideOrAbove(platformName, *start) : std::nullopt;
}

std::optional<std::string> findImageFile(const std::string& platformName, const MorvLValue& storedName,
                                         const std::string& objectFile) {
    if (isRegularFile(platformName)) return platformName;
    const auto start = searchStart(objectFile);
    if (!start) return std::nullopt;
    if (!platformName.empty() && platformName.front() != '/')
        if (auto found = besideOrAbove(platformName, *start)) return found;
    const std::vector<std::string> parts = pathElements(storedName);
    for (const bool ignoreCase : {false, true})
        for (std::size_t first = 0; first < parts.size(); ++first)
            for (const std::string& folder : start->folders)
                if (const auto found = lookUp(folder, parts, first, ignoreCase)) return shownName(*found, *start);
    return std::nullopt;
}

}  // namespace morv
