#include "exporters/gltf/CageRefinement.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "exporters/gltf/SubdivisionModule.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

constexpr const char* moduleName = "morv3d-subdivision.so";

// The module's entry point, or why there is none.
struct Module {
    Morv3dRefineCage refine = nullptr;
    std::string failure;
};

// Beside the program (the build tree), then where it is installed relative
// to the program's folder. The first failure of a module that exists says
// more than "no such file"; without any, the installed place's.
Module loadModule() {
    Module module;
    std::error_code error;
    const fs::path folder = fs::read_symlink("/proc/self/exe", error).parent_path();
    if (error || folder.empty()) {  // never a search of the current folder or the library path
        module.failure = "the program's folder is unknown: " + error.message();
        return module;
    }
    bool explained = false;  // the failure is that of a module that exists
    const fs::path installed = (folder / MORV3D_MODULE_DIR / moduleName).lexically_normal();
    for (const fs::path& candidate : {folder / moduleName, installed}) {
        if (void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            if (auto* entry = reinterpret_cast<Morv3dRefineCage>(::dlsym(handle, "morv3d_refine_cage"))) {
                module.refine = entry;
                return module;
            }
            const char* why = ::dlerror();  // the module stays loaded: unloading gains nothing this late
            module.failure = why ? why : candidate.string() + ": no entry point";
            explained = true;
            continue;
        }
        const char* why = ::dlerror();
        if (explained) continue;
        module.failure = why ? why : candidate.string() + ": cannot be loaded";
        explained = fs::exists(candidate, error);
    }
    return module;
}

const Module& loadedModule() {
    static const Module loaded = loadModule();
    return loaded;
}

}  // namespace

std::optional<RefinedFaces> refineCage(const Cage& cage, int level) {
    const Module& m = loadedModule();
    if (!m.refine) return std::nullopt;
    struct Result {
        std::optional<RefinedFaces> refined;
        bool copied = true;
    } result;
    auto take = [](void* context, const RefinedFaces* refined) noexcept {
        auto& r = *static_cast<Result*>(context);
        try {
            r.refined = *refined;
        } catch (...) {  // out of memory: refused
            r.copied = false;
        }
    };
    if (m.refine(&cage, level, take, &result) != 1 || !result.copied) return std::nullopt;
    return result.refined;
}

const std::string* cageRefinementUnavailable() {
    const Module& m = loadedModule();
    return m.refine ? nullptr : &m.failure;
}

}  // namespace morv
