// Fuzz target: the FAT layer's name handling on any UTF-16 name. The layer
// runs over a card folder that sits inside two folders of the target's own:
//
//   <temp>/sentinel-top
//   <temp>/mid/sentinel, <temp>/mid/outside/c.txt
//   <temp>/mid/card/        the card: a.txt, dir/b.txt, and the symbolic
//                           links link -> ../sentinel and up -> ..
//
// The input's units (little-endian) are a name, and behind its first NUL a
// second name (else "moved.txt"); both go to every call that takes a path:
// attributes, opens that create and write, searches, folders, moves,
// deletes. Promises checked: no crash or overrun (the sanitizers), nothing
// outside the card is created, changed or removed (the folders and files
// above keep their listing, inode, size, mode and change time), the links in
// the card are never followed, listed or replaced, every handle is closed,
// and every name a search yields is one the card could hold. The card is
// made afresh for each input.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fat/fat_volume.h"
#include "platform/fat/names.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

namespace fs = std::filesystem;

struct Place {
    fs::path temp;
    fs::path card;
    std::unique_ptr<platform::fat::Volume> volume;
    HookTable hooks{};
};

Place* g_place = nullptr;

void RemovePlace() {
    if (g_place == nullptr) return;
    g_place->volume.reset();
    std::error_code ignored;
    fs::remove_all(g_place->temp, ignored);
}

void WriteHostFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    FUZZ_CHECK(out.good());
}

// Folders that a test may have left without write or search permission
// must not keep their contents from going.
void EmptyFolder(const fs::path& folder) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    for (const auto& item : fs::directory_iterator(folder)) fs::remove_all(item.path());
}

void MakeCard(const fs::path& card) {
    EmptyFolder(card);
    WriteHostFile(card / "a.txt", "a");
    fs::create_directory(card / "dir");
    WriteHostFile(card / "dir" / "b.txt", "b");
    fs::create_symlink("../sentinel", card / "link");
    fs::create_directory_symlink("..", card / "up");
}

Place& ThePlace() {
    if (g_place != nullptr) return *g_place;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/quillane-fuzz-fat-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    g_place = new Place{};
    g_place->temp = pattern;
    std::atexit(RemovePlace);
    const fs::path mid = g_place->temp / "mid";
    fs::create_directories(mid / "outside");
    WriteHostFile(g_place->temp / "sentinel-top", "top");
    WriteHostFile(mid / "sentinel", "keep out");
    WriteHostFile(mid / "outside" / "c.txt", "c");
    g_place->card = mid / "card";
    fs::create_directory(g_place->card);
    MakeCard(g_place->card);
    g_place->volume = platform::fat::Volume::Open(g_place->card.string());
    FUZZ_CHECK(g_place->volume != nullptr);
    g_place->hooks = g_place->volume->Hooks();
    return *g_place;
}

struct Seen {
    ino_t inode;
    mode_t mode;
    off_t size;
    std::int64_t changed;
    std::int64_t modified;
    bool operator==(const Seen&) const = default;
};

std::int64_t Nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

// Everything under the temporary folder but the card's contents.
std::map<std::string, Seen> Outside(const Place& place) {
    std::map<std::string, Seen> seen;
    for (auto it = fs::recursive_directory_iterator(place.temp); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == place.card) it.disable_recursion_pending();
        struct stat status {};
        FUZZ_CHECK(::lstat(it->path().c_str(), &status) == 0);
        // The card folder itself changes as its entries come and go.
        if (it->path() == place.card) {
            seen[it->path().string()] = Seen{status.st_ino, status.st_mode, 0, 0, 0};
        } else {
            seen[it->path().string()] = Seen{status.st_ino, status.st_mode, status.st_size,
                                             Nanoseconds(status.st_ctim), Nanoseconds(status.st_mtim)};
        }
    }
    return seen;
}

void CheckLinksStay(const Place& place) {
    const struct {
        const char* name;
        const char* target;
    } links[] = {{"link", "../sentinel"}, {"up", ".."}};
    for (const auto& link : links) {
        std::error_code ec;
        const fs::path at = place.card / link.name;
        FUZZ_CHECK(fs::is_symlink(fs::symlink_status(at, ec)));
        FUZZ_CHECK(fs::read_symlink(at, ec) == link.target);
    }
}

void CheckFound(const WIN32_FIND_DATAW& found) {
    std::size_t length = 0;
    while (length < MAX_PATH && found.cFileName[length] != 0) ++length;
    FUZZ_CHECK(length < MAX_PATH);
    const std::u16string name(found.cFileName, length);
    FUZZ_CHECK(name != u"link" && name != u"up");
    FUZZ_CHECK(platform::fat::CheckName(name, false) == ERROR_SUCCESS);
}

void Search(const HookTable& hooks, LPCWSTR pattern) {
    WIN32_FIND_DATAW found{};
    HANDLE search = hooks.FindFirstFileW(hooks.volume, nullptr, pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    CheckFound(found);
    int yielded = 1;
    while (hooks.FindNextFileW(search, &found)) {
        CheckFound(found);
        FUZZ_CHECK(++yielded < 64);
    }
    FUZZ_CHECK(hooks.FindClose(search));
}

void OpenAndWrite(const HookTable& hooks, LPCWSTR name, DWORD disposition) {
    HANDLE file = hooks.CreateFileW(hooks.volume, nullptr, name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    hooks.WriteFile(file, "x", 1, &written, nullptr);
    FUZZ_CHECK(hooks.CloseFile(file));
}

void OpenToRead(const HookTable& hooks, LPCWSTR name) {
    HANDLE file = hooks.CreateFileW(hooks.volume, nullptr, name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char buffer[16];
    DWORD read = 0;
    hooks.ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    FUZZ_CHECK(read <= sizeof buffer);
    FUZZ_CHECK(hooks.CloseFile(file));
}

// Every call that takes a path, with `name` and `other`.
void Exercise(const HookTable& hooks, LPCWSTR name, LPCWSTR other) {
    const HANDLE volume = hooks.volume;
    hooks.GetFileAttributesW(volume, name);
    OpenToRead(hooks, name);
    Search(hooks, name);
    OpenAndWrite(hooks, name, OPEN_ALWAYS);
    hooks.SetFileAttributesW(volume, name, FILE_ATTRIBUTE_HIDDEN);
    hooks.GetFileAttributesW(volume, name);
    OpenAndWrite(hooks, name, TRUNCATE_EXISTING);
    hooks.SetFileAttributesW(volume, name, FILE_ATTRIBUTE_NORMAL);
    hooks.MoveFileW(volume, name, other);
    Search(hooks, other);
    hooks.MoveFileW(volume, other, name);
    hooks.DeleteAndRenameFileW(volume, other, name);
    OpenAndWrite(hooks, name, CREATE_ALWAYS);
    hooks.DeleteAndRenameFileW(volume, name, other);
    hooks.DeleteFileW(volume, name);
    hooks.DeleteFileW(volume, other);
    hooks.CreateDirectoryW(volume, name, nullptr);
    Search(hooks, name);
    OpenAndWrite(hooks, name, CREATE_NEW);
    hooks.RemoveDirectoryW(volume, name);
    hooks.MoveFileW(volume, u"a.txt", name);
    hooks.MoveFileW(volume, u"dir", other);
    OpenAndWrite(hooks, other, OPEN_ALWAYS);
    DWORD sectors = 0, bytes = 0, free_clusters = 0, total = 0;
    hooks.GetDiskFreeSpaceW(volume, name, &sectors, &bytes, &free_clusters, &total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Place& place = ThePlace();
    const std::map<std::string, Seen> before = Outside(place);

    // Each name in a heap block of exactly its units and the NUL, so that a
    // read past the NUL meets the sanitizer.
    const std::size_t units = size / 2;
    std::vector<WCHAR> all(units);
    for (std::size_t i = 0; i < units; ++i) all[i] = static_cast<WCHAR>(data[2 * i] | data[2 * i + 1] << 8);
    std::size_t cut = 0;
    while (cut < units && all[cut] != 0) ++cut;
    auto name = std::make_unique<WCHAR[]>(cut + 1);
    std::copy(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut), name.get());
    std::u16string rest = cut < units ? std::u16string(all.begin() + static_cast<std::ptrdiff_t>(cut) + 1, all.end())
                                      : std::u16string(u"moved.txt");
    rest = rest.substr(0, rest.find(u'\0'));
    auto other = std::make_unique<WCHAR[]>(rest.size() + 1);
    std::copy(rest.begin(), rest.end(), other.get());

    Exercise(place.hooks, name.get(), other.get());

    FUZZ_CHECK(place.volume->OpenHandleCount() == 0);
    CheckLinksStay(place);
    FUZZ_CHECK(Outside(place) == before);
    MakeCard(place.card);
    return 0;
}
