#include "support/NeutralFileName.hpp"

#include <iostream>
#include <utility>
#include <vector>

#include "base/Excn.hpp"

namespace morv {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// A neutral name taken apart: path elements instead of the joined path.
struct NameParts {
    bool absolute = false;
    std::optional<std::string> volume;
    std::vector<std::string> elements;
};

// Splits at "/" and "\", dropping empty elements.
std::vector<std::string> splitElements(std::string_view path) {
    std::vector<std::string> elements;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || isSeparator(path[i])) {
            if (i > start) elements.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return elements;
}

std::string joinElements(const std::vector<std::string>& elements) {
    std::string path;
    for (const std::string& e : elements) {
        if (!path.empty()) path += '/';
        path += e;
    }
    return path;
}

// Parses name; *supported is cleared when the name cannot be represented.
NameParts parseName(std::string_view name, bool* supported) {
    NameParts parts;
    std::string_view rest = name;
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view before = name.substr(0, colon);
        // Text with a separator before the ":" is no volume: the ":" belongs to an element.
        bool hasSeparator = false;
        for (char c : before) hasSeparator = hasSeparator || isSeparator(c);
        if (!hasSeparator) {
            parts.volume = std::string(before);
            rest = name.substr(colon + 1);
        }
    }
    parts.absolute = !rest.empty() && isSeparator(rest.front());
    parts.elements = splitElements(rest);

    bool ok = true;
    for (const std::string& e : parts.elements)
        if (e.find(':') != std::string::npos) ok = false;
    if (parts.volume && (parts.volume->empty() || !parts.absolute)) ok = false;
    *supported = ok;
    return parts;
}

NameParts partsOf(const MorvLValue& neutral) {
    NameParts parts;
    parts.absolute = getFileNameAbsolute(neutral);
    parts.volume = getFileNameVolume(neutral);
    parts.elements = splitElements(getFileNamePath(neutral));
    return parts;
}

MorvLValue fromParts(NameParts parts) {
    return makeNeutralFileName(parts.absolute, std::move(parts.volume), joinElements(parts.elements));
}

// Roots given by the user are parsed without the unsupported-name warning:
// it would repeat for every image.
NameParts parseRoot(std::string_view root) {
    bool supported = true;
    return parseName(root, &supported);
}

std::optional<MorvLValue> fieldOf(const MorvLValue& record, std::string_view name, Kind kind) {
    if (!record.isRecord()) return std::nullopt;
    std::optional<MorvLValue> value = record.fields().find(name);
    if (!value || value->kind() != kind) return std::nullopt;
    return value;
}

void setExtension(std::string& element, std::string_view extension) {
    const std::size_t dot = element.rfind('.');
    if (dot != std::string::npos && dot != 0 && dot + 1 != element.size()) element.resize(dot);
    element += '.';
    element += extension;
}

}  // namespace

MorvLValue makeNeutralFileName(bool absolute, std::optional<std::string> volume, std::string path) {
    std::vector<Field> fields;
    fields.reserve(3);
    fields.push_back(Field{"absolute", MorvLValue::Bool(absolute)});
    if (volume) fields.push_back(Field{"volume", MorvLValue::String(std::move(*volume))});
    fields.push_back(Field{"path", MorvLValue::String(std::move(path))});
    return MorvLValue::Record(std::move(fields));
}

MorvLValue anyFileNameToMorvLNeutral(std::string_view name) {
    return anyFileNameToMorvLNeutral(name, std::cout);
}

MorvLValue anyFileNameToMorvLNeutral(std::string_view name, std::ostream& out) {
    bool supported = true;
    NameParts parts = parseName(name, &supported);
    if (!supported) {
        std::string text;
        text += "The filename ";
        text += name;
        text += " is not supported!\n"
                "The program have the following limitations on filenames:\n"
                "1) Filenames may not contain '/', '\\' or ':'.\n"
                "2) DOS filenames may not refer to the empty volume (i.e. '').\n"
                "3) DOS filenames may not contain relative paths including a volume name.\n"
                "The program will continue to run, but it may cause problems.\n"
                "If this gives you problems, please mail morv3d-support@example.org\n";
        out << text;
    }
    return fromParts(std::move(parts));
}

bool getFileNameAbsolute(const MorvLValue& neutral) {
    std::optional<MorvLValue> field = fieldOf(neutral, "absolute", Kind::BOOL);
    if (!field) throw EGeneric(false, "Error", "Field absolute not found in getFileNameAbsolute");
    return field->asBool();
}

std::string getFileNamePath(const MorvLValue& neutral) {
    std::optional<MorvLValue> field = fieldOf(neutral, "path", Kind::STRING);
    if (!field) throw EGeneric(false, "Error", "Field path not found in getFileNamePath");
    return field->asString();
}

std::optional<std::string> getFileNameVolume(const MorvLValue& neutral) {
    std::optional<MorvLValue> field = fieldOf(neutral, "volume", Kind::STRING);
    if (!field) return std::nullopt;
    return field->asString();
}

std::string neutralToPlatform(std::string_view platform, const MorvLValue& neutral) {
    if (platform == "Unix") {
        const bool absolute = getFileNameAbsolute(neutral);
        const std::optional<std::string> volume = getFileNameVolume(neutral);
        std::string path = getFileNamePath(neutral);
        if (volume && !volume->empty()) return *volume + "/" + path;
        if (absolute) return "/" + path;
        return path;
    }
    if (platform == "Windows") {
        const bool absolute = getFileNameAbsolute(neutral);
        const std::optional<std::string> volume = getFileNameVolume(neutral);
        std::string path = getFileNamePath(neutral);
        for (char& c : path)
            if (c == '/') c = '\\';
        if (!absolute) return path;
        if (!volume) return "\\" + path;
        return (volume->empty() ? std::string("C") : *volume) + ":\\" + path;
    }
    throw EGeneric(false, "Error", "Unknown platform " + std::string(platform) + " in neutralToPlatform\n");
}

MorvLValue rewriteTextureFileName(const MorvLValue& neutral, std::string_view fromRoot,
                                  std::string_view extension, std::string_view toRoot) {
    if (fromRoot.empty() && extension.empty() && toRoot.empty()) return neutral;
    NameParts name = partsOf(neutral);

    if (!fromRoot.empty()) {
        const NameParts root = parseRoot(fromRoot);
        bool matches = root.absolute == name.absolute && root.volume == name.volume &&
                       root.elements.size() < name.elements.size();
        for (std::size_t i = 0; matches && i < root.elements.size(); ++i)
            matches = root.elements[i] == name.elements[i];
        if (matches) {
            name.elements.erase(name.elements.begin(),
                                name.elements.begin() + static_cast<std::ptrdiff_t>(root.elements.size()));
            name.absolute = false;
            name.volume.reset();
        }
    }

    if (!extension.empty() && !name.elements.empty()) setExtension(name.elements.back(), extension);

    if (!toRoot.empty()) {
        NameParts root = parseRoot(toRoot);
        root.elements.insert(root.elements.end(), std::make_move_iterator(name.elements.begin()),
                             std::make_move_iterator(name.elements.end()));
        name = std::move(root);
    }
    return fromParts(std::move(name));
}

}  // namespace morv
