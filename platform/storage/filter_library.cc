// Finding, loading and resolving filter libraries (see filter_library.h).
#include "platform/storage/filter_library.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/core/utf.h"

namespace platform::storage {
namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::vector<std::string> LibraryFolders() {
    std::vector<std::string> folders;
    std::vector<char> exe(4096);
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n > 0) {
        const std::string programs = FolderOf(std::string(exe.data(), static_cast<size_t>(n)));
        folders.push_back(programs + "/../lib");
        // Where an installed program's filters live (PREFIX/lib/quillane).
        folders.push_back(programs + "/../lib/quillane");
    }

    Dl_info self{};
    if (::dladdr(reinterpret_cast<const void*>(&LocateFilterLibrary), &self) != 0 && self.dli_fname != nullptr) {
        folders.push_back(FolderOf(self.dli_fname));
    }

    if (const char* extra = std::getenv("QUILLANE_LIBRARY_PATH")) {
        std::string_view rest = extra;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view folder = rest.substr(0, colon);
            if (!folder.empty()) folders.emplace_back(folder);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    return folders;
}

}  // namespace

std::string LocateFilterLibrary(std::u16string_view dll, std::string* message) {
    std::string name;
    if (dll.empty() || !Utf16ToUtf8(dll, name)) {
        *message = "the Dll value is empty or not valid text";
        return {};
    }
    if (name.find('/') != std::string::npos) return name;
    std::string tried;
    for (const std::string& folder : LibraryFolders()) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
        tried += (tried.empty() ? "" : ", ") + folder;
    }
    *message = "library " + name + " not found (looked in " + tried + ")";
    return {};
}

std::unique_ptr<FilterLibrary> FilterLibrary::Load(const std::string& path, DWORD* error, std::string* message) {
    // RTLD_NOW: an unresolved symbol inside the filter fails here, not in
    // the middle of some program's call.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        *error = ERROR_MOD_NOT_FOUND;
        *message = "cannot load filter library " + path + ": " + (why != nullptr ? why : "unknown reason");
        return nullptr;
    }
    std::unique_ptr<FilterLibrary> library(new FilterLibrary(path, handle));

    link_map* own_map = nullptr;
    ::dlinfo(handle, RTLD_DI_LINKMAP, &own_map);
    std::string missing;
    int missing_count = 0;
    // dlsym also searches the library's dependencies; an entry counts only
    // when the library itself defines it.
    auto find = [&](const char* name) -> void* {
        void* symbol = ::dlsym(handle, name);
        if (symbol != nullptr) {
            Dl_info info{};
            link_map* map = nullptr;
            if (::dladdr1(symbol, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map != own_map) {
                symbol = nullptr;
            }
        }
        if (symbol == nullptr) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
            ++missing_count;
        }
        return symbol;
    };
    library->hook_volume_ = reinterpret_cast<HookVolumeEntry>(find("HookVolume"));
    library->unhook_volume_ = reinterpret_cast<UnhookVolumeEntry>(find("UnhookVolume"));
#define QUILLANE_FIND_ENTRY(level, result, name, params, args) \
    library->entries_.name = reinterpret_cast<Hook##name>(find(#name));
    QUILLANE_HOOK_OPERATIONS(QUILLANE_FIND_ENTRY)
#undef QUILLANE_FIND_ENTRY

    if (!missing.empty()) {
        *error = ERROR_PROC_NOT_FOUND;
        *message = "filter library " + path + (missing_count == 1 ? " lacks the entry " : " lacks the entries ") + missing;
        return nullptr;
    }
    return library;
}

FilterLibrary::~FilterLibrary() { ::dlclose(handle_); }

HookTable FilterLibrary::LayerTable(HANDLE volume_record) const {
    HookTable table = entries_;
    table.leading = 0;
    table.volume = volume_record;
    return table;
}

}  // namespace platform::storage
