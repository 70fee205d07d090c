// Tests of the storage manager with real card folders, a real registry store
// and the pass-through test filter: loading filters from the registry,
// routing of paths and handles, the root listing, refusal of broken filters,
// bad handles, unmounting with open handles, and the separation of a
// filter's entries from the program's file API.
#include "platform/storage/storage_manager.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/core/last_error.h"
#include "platform/hook/fault_layer.h"
#include "platform/registry/registry.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_test_support.h"

namespace platform::storage_test {
namespace {

constexpr WCHAR kNotes[] = u"\\Storage Card\\notes.txt";

StorageManager& Manager() { return StorageManager::Instance(); }

std::vector<std::u16string> ListNames(LPCWSTR pattern, std::vector<DWORD>* attributes = nullptr) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(data.cFileName);
        if (attributes != nullptr) attributes->push_back(data.dwFileAttributes);
    } while (FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(search));
    return names;
}

class StorageManagerTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        card_dir_ = MakeCardFolder("card");
    }
    // Registers the pass-through filter and mounts "Storage Card" over it.
    void MountWithFilter(const MountOptions& options = {}) {
        RegisterFilter(u"Passthrough", u"PassthroughFilter.so");
        std::string message;
        ASSERT_EQ(Manager().MountCard(u"Storage Card", card_dir_, &message, options), ERROR_SUCCESS) << message;
    }

    std::string card_dir_;
    FilterCounters filter_{"PassthroughFilter.so"};
};

TEST_F(StorageManagerTest, LoadsTheRegisteredFilterAndSendsCallsThroughIt) {
    const long hooks = filter_.Count("HookVolume");
    MountWithFilter();
    EXPECT_EQ(filter_.Count("HookVolume"), hooks + 1);
    EXPECT_EQ(Manager().CardNames(), std::vector<std::u16string>{u"Storage Card"});

    const long creates = filter_.Count("CreateFileW");
    const long writes = filter_.Count("WriteFile");
    const long closes = filter_.Count("CloseFile");
    ASSERT_TRUE(WriteWholeFile(kNotes, "hello"));
    EXPECT_EQ(filter_.Count("CreateFileW"), creates + 1);
    EXPECT_EQ(filter_.Count("WriteFile"), writes + 1);
    EXPECT_EQ(filter_.Count("CloseFile"), closes + 1);
    EXPECT_EQ(HostFileContent(card_dir_ + "/notes.txt"), "hello");

    // The card folder is matched without regard to case.
    std::string content;
    ASSERT_TRUE(ReadWholeFile(u"\\STORAGE CARD\\notes.txt", &content));
    EXPECT_EQ(content, "hello");
    EXPECT_NE(GetFileAttributesW(u"\\storage card\\NOTES.TXT"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StorageManagerTest, ServesACardWithoutFiltersWhenNoneIsRegistered) {
    ASSERT_EQ(Manager().MountCard(u"Storage Card", card_dir_), ERROR_SUCCESS);
    const long hooks = filter_.Count("HookVolume");
    ASSERT_TRUE(WriteWholeFile(kNotes, "raw"));
    EXPECT_EQ(HostFileContent(card_dir_ + "/notes.txt"), "raw");
    EXPECT_EQ(filter_.Count("HookVolume"), hooks);
}

TEST_F(StorageManagerTest, PassesOverAFilterKeyWithoutDll) {
    // What the settings program leaves when it stores the exempt list on a
    // device where the filter was never installed.
    SetString(u"System\\StorageManager\\FATFS\\Filters\\Quillane", u"Exception", u".zip");
    std::string message;
    EXPECT_EQ(Manager().MountCard(u"Storage Card", card_dir_, &message), ERROR_SUCCESS) << message;
}

TEST_F(StorageManagerTest, RefusesACardWhoseFilterCannotBeLoaded) {
    struct Case {
        std::u16string dll;
        DWORD error;
        std::vector<std::string> named;  // pieces the message must name
    } cases[] = {
        {u"NoSuchFilter.so", ERROR_MOD_NOT_FOUND, {"NoSuchFilter.so", "Storage Card", "Broken"}},
        {u"/nowhere/NoSuchFilter.so", ERROR_MOD_NOT_FOUND, {"/nowhere/NoSuchFilter.so"}},
        {u"PassthroughFilterLacking.so", ERROR_PROC_NOT_FOUND, {"PassthroughFilterLacking.so", "SetEndOfFile"}},
    };
    for (const Case& c : cases) {
        RegisterFilter(u"Broken", c.dll);
        std::string message;
        EXPECT_EQ(Manager().MountCard(u"Storage Card", card_dir_, &message), c.error);
        for (const std::string& piece : c.named) EXPECT_NE(message.find(piece), std::string::npos) << message;
        EXPECT_TRUE(Manager().CardNames().empty());
        EXPECT_EQ(CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    }
    EXPECT_FALSE(std::filesystem::exists(card_dir_ + "/notes.txt"));
}

TEST_F(StorageManagerTest, RefusesACardWhoseFilterRefusesTheVolume) {
    RegisterFilter(u"Passthrough", u"PassthroughFilter.so");
    MountOptions options;
    options.wrap_bottom = [](const HookTable& fat) {
        HookTable table = fat;
        table.volume = nullptr;
        return table;
    };
    std::string message;
    EXPECT_NE(Manager().MountCard(u"Storage Card", card_dir_, &message, options), ERROR_SUCCESS);
    EXPECT_NE(message.find("HookVolume"), std::string::npos) << message;
    EXPECT_NE(message.find("PassthroughFilter.so"), std::string::npos) << message;
    EXPECT_TRUE(Manager().CardNames().empty());
}

TEST_F(StorageManagerTest, RefusesADllValueOfTheWrongType) {
    SetDword(u"System\\StorageManager\\FATFS\\Filters\\Quillane", u"Dll", 1);
    std::string message;
    EXPECT_NE(Manager().MountCard(u"Storage Card", card_dir_, &message), ERROR_SUCCESS);
    EXPECT_NE(message.find("Quillane"), std::string::npos) << message;
    EXPECT_TRUE(Manager().CardNames().empty());
}

TEST_F(StorageManagerTest, UndoesTheFiltersAlreadyAttachedWhenALaterOneFails) {
    const DWORD first = 1, second = 2;
    RegisterFilter(u"Good", u"PassthroughFilter.so", &first);
    RegisterFilter(u"Broken", u"PassthroughFilterLacking.so", &second);
    const long hooks = filter_.Count("HookVolume");
    const long unhooks = filter_.Count("UnhookVolume");
    EXPECT_EQ(Manager().MountCard(u"Storage Card", card_dir_), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(filter_.Count("HookVolume"), hooks + 1);
    EXPECT_EQ(filter_.Count("UnhookVolume"), unhooks + 1);
}

TEST_F(StorageManagerTest, StacksFiltersByOrderThenKeyName) {
    FilterCounters two("PassthroughFilterTwo.so");
    auto next_create = [](const FilterCounters& f) {
        return reinterpret_cast<void* (*)()>(f.Symbol("PassthroughLastNextCreateFileW"))();
    };
    struct Case {
        std::vector<std::pair<std::u16string, const DWORD*>> keys;  // key, order
        bool two_on_top;
    };
    const DWORD low = 1, high = 7;
    const Case cases[] = {
        // By key name: "A" (Filter) below "B" (FilterTwo).
        {{{u"A", nullptr}, {u"B", nullptr}}, true},
        // Order first: "A" with the higher order goes on top.
        {{{u"A", &high}, {u"B", &low}}, false},
    };
    for (const Case& c : cases) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters");
        RegisterFilter(c.keys[0].first, u"PassthroughFilter.so", c.keys[0].second);
        RegisterFilter(c.keys[1].first, u"PassthroughFilterTwo.so", c.keys[1].second);
        ASSERT_EQ(Manager().MountCard(u"Storage Card", card_dir_), ERROR_SUCCESS);
        const FilterCounters& top = c.two_on_top ? two : filter_;
        const FilterCounters& bottom = c.two_on_top ? filter_ : two;
        EXPECT_EQ(next_create(top), bottom.Symbol("CreateFileW"));
        const long top_creates = top.Count("CreateFileW");
        const long bottom_creates = bottom.Count("CreateFileW");
        ASSERT_TRUE(WriteWholeFile(kNotes, "x"));
        EXPECT_EQ(top.Count("CreateFileW"), top_creates + 1);
        EXPECT_EQ(bottom.Count("CreateFileW"), bottom_creates + 1);
        ASSERT_EQ(Manager().UnmountCard(u"Storage Card"), ERROR_SUCCESS);
    }
}

TEST_F(StorageManagerTest, KeepsAFiltersEntriesApartFromTheProgramsFileApi) {
    MountWithFilter();
    // Loaded locally: the filter's CreateFileW is not in the global scope,
    // where it could capture the program's calls or the program's its.
    EXPECT_EQ(::dlsym(RTLD_DEFAULT, "CreateFileW"), nullptr);
    Dl_info info{};
    ASSERT_NE(::dladdr(filter_.Symbol("CreateFileW"), &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("PassthroughFilter.so"), std::string::npos);

    const long creates = filter_.Count("CreateFileW");
    HANDLE file = platform::CreateFileW(kNotes, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(filter_.Count("CreateFileW"), creates + 1);
    EXPECT_TRUE(platform::CloseHandle(file));
}

TEST_F(StorageManagerTest, ListsTheCardsAtTheRootInMountOrder) {
    const std::string second_dir = MakeCardFolder("second");
    ASSERT_EQ(Manager().MountCard(u"Zeta Card", card_dir_), ERROR_SUCCESS);
    ASSERT_EQ(Manager().MountCard(u"Alpha Card", second_dir), ERROR_SUCCESS);
    for (LPCWSTR pattern : {u"\\*", u"\\*.*", u"*"}) {
        std::vector<DWORD> attributes;
        EXPECT_EQ(ListNames(pattern, &attributes), (std::vector<std::u16string>{u"Zeta Card", u"Alpha Card"}));
        EXPECT_EQ(attributes, (std::vector<DWORD>{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY,
                                                  FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY}));
    }
    EXPECT_EQ(ListNames(u"\\alpha*"), std::vector<std::u16string>{u"Alpha Card"});
    EXPECT_EQ(ListNames(u"\\Zeta Card"), std::vector<std::u16string>{u"Zeta Card"});
    WIN32_FIND_DATAW data{};
    EXPECT_EQ(FindFirstFileW(u"\\Beta*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Each card's own root is its own folder.
    ASSERT_TRUE(WriteWholeFile(u"\\Zeta Card\\z.txt", "z"));
    ASSERT_TRUE(WriteWholeFile(u"\\Alpha Card\\a.txt", "a"));
    auto names = ListNames(u"\\Zeta Card\\*");
    EXPECT_NE(std::find(names.begin(), names.end(), u"z.txt"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), u"a.txt"), names.end());
}

TEST_F(StorageManagerTest, SearchesACardThroughItsFilter) {
    MountWithFilter();
    ASSERT_TRUE(WriteWholeFile(kNotes, "n"));
    const long first = filter_.Count("FindFirstFileW");
    const long next = filter_.Count("FindNextFileW");
    const long close = filter_.Count("FindClose");
    const auto names = ListNames(u"\\Storage Card\\*.txt");
    EXPECT_EQ(names, std::vector<std::u16string>{u"notes.txt"});
    EXPECT_EQ(filter_.Count("FindFirstFileW"), first + 1);
    EXPECT_EQ(filter_.Count("FindNextFileW"), next + 1);
    EXPECT_EQ(filter_.Count("FindClose"), close + 1);
}

TEST_F(StorageManagerTest, AnswersPathsOutsideTheCards) {
    MountWithFilter();
    struct Case {
        const char* what;
        std::function<bool()> failed;
        DWORD error;
    } cases[] = {
        {"open at the root",
         [] { return CreateFileW(u"\\x.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) == INVALID_HANDLE_VALUE; },
         ERROR_ACCESS_DENIED},
        {"open the root", [] { return CreateFileW(u"\\", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; },
         ERROR_ACCESS_DENIED},
        {"open a card folder",
         [] { return CreateFileW(u"\\Storage Card", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; },
         ERROR_ACCESS_DENIED},
        {"open under no card",
         [] { return CreateFileW(u"\\Nowhere\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; },
         ERROR_PATH_NOT_FOUND},
        {"attributes under no card", [] { return GetFileAttributesW(u"\\Nowhere\\x") == INVALID_FILE_ATTRIBUTES; },
         ERROR_PATH_NOT_FOUND},
        {"attributes at the root", [] { return GetFileAttributesW(u"\\x.txt") == INVALID_FILE_ATTRIBUTES; },
         ERROR_PATH_NOT_FOUND},
        {"delete a card folder", [] { return !DeleteFileW(u"\\Storage Card"); }, ERROR_ACCESS_DENIED},
        {"remove a card folder", [] { return !RemoveDirectoryW(u"\\Storage Card"); }, ERROR_ACCESS_DENIED},
        {"make a card folder", [] { return !CreateDirectoryW(u"\\Storage Card", nullptr); }, ERROR_ALREADY_EXISTS},
        {"make a folder at the root", [] { return !CreateDirectoryW(u"\\New", nullptr); }, ERROR_ACCESS_DENIED},
        {"delete under no card", [] { return !DeleteFileW(u"\\Nowhere\\x"); }, ERROR_PATH_NOT_FOUND},
        {"rename a card folder", [] { return !MoveFileW(u"\\Storage Card", u"\\Other"); }, ERROR_ACCESS_DENIED},
        {"move to the root", [] { return !MoveFileW(kNotes, u"\\notes.txt"); }, ERROR_ACCESS_DENIED},
        {"free space of the root", [] { return !GetDiskFreeSpaceExW(u"\\", nullptr, nullptr, nullptr); },
         ERROR_PATH_NOT_FOUND},
        {"null path", [] { return GetFileAttributesW(nullptr) == INVALID_FILE_ATTRIBUTES; }, ERROR_INVALID_PARAMETER},
        {"search under no card",
         [] {
             WIN32_FIND_DATAW data;
             return FindFirstFileW(u"\\Nowhere\\*", &data) == INVALID_HANDLE_VALUE;
         },
         ERROR_PATH_NOT_FOUND},
    };
    const long reached = filter_.Count("CreateFileW") + filter_.Count("GetFileAttributesW") +
                         filter_.Count("DeleteFileW") + filter_.Count("MoveFileW");
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(c.failed()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(filter_.Count("CreateFileW") + filter_.Count("GetFileAttributesW") + filter_.Count("DeleteFileW") +
                  filter_.Count("MoveFileW"),
              reached);
    EXPECT_EQ(GetFileAttributesW(u"\\Storage Card"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY);
    EXPECT_EQ(GetFileAttributesW(u"\\"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(StorageManagerTest, MovesWithinACardButNotAcrossCards) {
    MountWithFilter();
    ASSERT_EQ(Manager().MountCard(u"Other Card", MakeCardFolder("other")), ERROR_SUCCESS);
    ASSERT_TRUE(WriteWholeFile(kNotes, "n"));
    ASSERT_TRUE(WriteWholeFile(u"\\Storage Card\\old.txt", "old"));

    EXPECT_FALSE(MoveFileW(kNotes, u"\\Other Card\\notes.txt"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(DeleteAndRenameFileW(u"\\Other Card\\notes.txt", kNotes));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

    const long moves = filter_.Count("MoveFileW");
    EXPECT_TRUE(MoveFileW(kNotes, u"\\Storage Card\\moved.txt"));
    EXPECT_EQ(filter_.Count("MoveFileW"), moves + 1);
    EXPECT_EQ(HostFileContent(card_dir_ + "/moved.txt"), "n");

    const long replaces = filter_.Count("DeleteAndRenameFileW");
    EXPECT_TRUE(DeleteAndRenameFileW(u"\\Storage Card\\old.txt", u"\\Storage Card\\moved.txt"));
    EXPECT_EQ(filter_.Count("DeleteAndRenameFileW"), replaces + 1);
    EXPECT_EQ(HostFileContent(card_dir_ + "/old.txt"), "n");
    EXPECT_FALSE(std::filesystem::exists(card_dir_ + "/moved.txt"));
}

// A layer under the filter that reports fixed counts, to see that programs
// get bytes computed from what the top of the stack reports.
BOOL FixedFreeSpace(HANDLE, LPCWSTR, PDWORD sectors_per_cluster, PDWORD bytes_per_sector, PDWORD free_clusters,
                    PDWORD total_clusters) {
    *sectors_per_cluster = 8;
    *bytes_per_sector = 512;
    *free_clusters = 3000000;
    *total_clusters = 4000000;
    return TRUE;
}

TEST_F(StorageManagerTest, ComputesFreeBytesFromTheTopLayersCounts) {
    MountOptions options;
    options.wrap_bottom = [](const HookTable& fat) {
        HookTable table = fat;
        table.GetDiskFreeSpaceW = &FixedFreeSpace;
        return table;
    };
    MountWithFilter(options);
    const long queries = filter_.Count("GetDiskFreeSpaceW");
    ULARGE_INTEGER free_to_caller{}, total{}, total_free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Storage Card", &free_to_caller, &total, &total_free));
    EXPECT_EQ(free_to_caller.QuadPart, 3000000ull * 4096);
    EXPECT_EQ(total.QuadPart, 4000000ull * 4096);
    EXPECT_EQ(total_free.QuadPart, 3000000ull * 4096);
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\Storage Card\\any\\path", nullptr, &total, nullptr));
    EXPECT_EQ(filter_.Count("GetDiskFreeSpaceW"), queries + 2);
}

TEST_F(StorageManagerTest, RefusesHandlesItDidNotIssueOrHasClosed) {
    MountWithFilter();
    ASSERT_TRUE(WriteWholeFile(kNotes, "data"));
    HANDLE closed = CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(closed));
    // The next open may take the closed handle's slot; the old value must
    // still be refused.
    HANDLE live = CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(live, INVALID_HANDLE_VALUE);
    ASSERT_NE(live, closed);
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(u"\\Storage Card\\*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    HANDLE card_list = FindFirstFileW(u"\\*", &data);
    ASSERT_NE(card_list, INVALID_HANDLE_VALUE);

    char buffer[8];
    DWORD count = 0;
    struct Case {
        const char* what;
        std::function<BOOL()> call;
    } cases[] = {
        {"read a closed handle", [&] { return ReadFile(closed, buffer, 8, &count, nullptr); }},
        {"close a closed handle", [&] { return CloseHandle(closed); }},
        {"read a handle never issued", [&] { return ReadFile(reinterpret_cast<HANDLE>(0x1234), buffer, 8, &count, nullptr); }},
        {"read INVALID_HANDLE_VALUE", [&] { return ReadFile(INVALID_HANDLE_VALUE, buffer, 8, &count, nullptr); }},
        {"size of a null handle", [&] { return static_cast<BOOL>(GetFileSize(nullptr, nullptr) != 0xFFFFFFFFu); }},
        {"read a search handle", [&] { return ReadFile(search, buffer, 8, &count, nullptr); }},
        {"read a root search handle", [&] { return ReadFile(card_list, buffer, 8, &count, nullptr); }},
        {"close a search as a file", [&] { return CloseHandle(search); }},
        {"next file of a file handle", [&] { return FindNextFileW(live, &data); }},
        {"end a search on a file handle", [&] { return FindClose(live); }},
        {"write a closed handle", [&] { return WriteFile(closed, buffer, 8, &count, nullptr); }},
    };
    const long reads = filter_.Count("ReadFile");
    const long closes = filter_.Count("CloseFile");
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << c.what;
    }
    EXPECT_EQ(filter_.Count("ReadFile"), reads);
    EXPECT_EQ(filter_.Count("CloseFile"), closes);

    // The live handles still work.
    EXPECT_TRUE(ReadFile(live, buffer, 8, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "data");
    EXPECT_TRUE(CloseHandle(live));
    EXPECT_TRUE(FindClose(search));
    EXPECT_TRUE(FindClose(card_list));
}

TEST_F(StorageManagerTest, UnmountClosesOpenHandlesThroughTheFilterThenUnhooks) {
    FaultLayer fat_calls;
    MountOptions options;
    options.wrap_bottom = [&](const HookTable& fat) { return fat_calls.Wrap(fat); };
    MountWithFilter(options);
    const long records = filter_.OpenRecords();
    HANDLE file = CreateFileW(kNotes, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(u"\\Storage Card\\*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(filter_.OpenRecords(), records + 2);
    EXPECT_EQ(fat_calls.OpenHandles(), 2u);

    const long closes = filter_.Count("CloseFile");
    const long find_closes = filter_.Count("FindClose");
    const long unhooks = filter_.Count("UnhookVolume");
    const long close_volumes = filter_.Count("CloseVolume");
    ASSERT_EQ(Manager().UnmountCard(u"Storage Card"), ERROR_SUCCESS);
    EXPECT_EQ(filter_.Count("CloseFile"), closes + 1);
    EXPECT_EQ(filter_.Count("FindClose"), find_closes + 1);
    EXPECT_EQ(filter_.Count("CloseVolume"), close_volumes + 1);
    EXPECT_EQ(filter_.Count("UnhookVolume"), unhooks + 1);
    EXPECT_EQ(filter_.OpenRecords(), records);
    EXPECT_EQ(fat_calls.OpenHandles(), 0u);
    EXPECT_TRUE(fat_calls.Violations().empty());
    EXPECT_TRUE(Manager().CardNames().empty());

    char byte = 0;
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(file, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(Manager().UnmountCard(u"Storage Card"), ERROR_FILE_NOT_FOUND);
}

TEST_F(StorageManagerTest, UnmountWithoutHandlesUnhooks) {
    MountWithFilter();
    const long unhooks = filter_.Count("UnhookVolume");
    ASSERT_EQ(Manager().UnmountCard(u"storage card"), ERROR_SUCCESS);
    EXPECT_EQ(filter_.Count("UnhookVolume"), unhooks + 1);
}

TEST_F(StorageManagerTest, PassesALayersFailuresOnAndIssuesNoHandleForThem) {
    FaultLayer faults;
    MountOptions options;
    options.wrap_bottom = [&](const HookTable& fat) { return faults.Wrap(fat); };
    MountWithFilter(options);
    ASSERT_TRUE(WriteWholeFile(kNotes, "n"));

    faults.AddRule(FaultRule{.operation = HookOperation::CreateFileW, .error = ERROR_SHARING_VIOLATION});
    EXPECT_EQ(CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    faults.AddRule(FaultRule{.operation = HookOperation::FindFirstFileW, .error = ERROR_NOT_READY});
    WIN32_FIND_DATAW data{};
    EXPECT_EQ(FindFirstFileW(u"\\Storage Card\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);

    // A close that fails still ends the handle: the failure is reported, and
    // the handle is neither usable nor closed a second time below.
    faults.AddRule(FaultRule{.operation = HookOperation::CloseFile, .action = FaultRule::Action::kCloseThenFail,
                             .error = ERROR_WRITE_FAULT});
    HANDLE file = CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    char byte;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(file, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(faults.OpenHandles(), 0u);

    // At unmount a refused close is reported, and the card goes all the same.
    faults.AddRule(FaultRule{.operation = HookOperation::CloseFile, .action = FaultRule::Action::kCloseThenFail,
                             .error = ERROR_WRITE_FAULT});
    file = CreateFileW(kNotes, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Manager().UnmountCard(u"Storage Card"), ERROR_WRITE_FAULT);
    EXPECT_TRUE(Manager().CardNames().empty());
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(faults.Violations().empty());
    EXPECT_EQ(faults.OpenHandles(), 0u);
}

// A program's day on a card; results are not checked, since any call may
// meet an injected failure.
void UseTheCard() {
    HANDLE file = CreateFileW(kNotes, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD count = 0;
        WriteFile(file, "abc", 3, &count, nullptr);
        CloseHandle(file);
    }
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(u"\\Storage Card\\*", &data);
    if (search != INVALID_HANDLE_VALUE) {
        while (FindNextFileW(search, &data)) {
        }
        FindClose(search);
    }
    MoveFileW(kNotes, u"\\Storage Card\\moved.txt");
    GetFileAttributesW(u"\\Storage Card\\moved.txt");
    ULARGE_INTEGER free_bytes{};
    GetDiskFreeSpaceExW(u"\\Storage Card", &free_bytes, nullptr, nullptr);
    file = CreateFileW(u"\\Storage Card\\moved.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[8];
        DWORD count = 0;
        ReadFile(file, buffer, sizeof buffer, &count, nullptr);
        CloseHandle(file);
    }
    DeleteFileW(u"\\Storage Card\\moved.txt");
}

TEST_F(StorageManagerTest, AnyOneFailureBelowLeavesNoHandleOpenAfterUnmount) {
    RegisterFilter(u"Passthrough", u"PassthroughFilter.so");
    const long records = filter_.OpenRecords();
    int runs = 0;
    for (int op = 0; op < kHookOperationCount; ++op) {
        const auto operation = static_cast<HookOperation>(op);
        for (unsigned nth = 1;; ++nth) {
            std::filesystem::remove_all(card_dir_);
            std::filesystem::create_directories(card_dir_);
            FaultLayer faults;
            // A close ends its handle whatever it answers: a failed one has
            // closed and then reports the error.
            const bool is_close = operation == HookOperation::CloseFile || operation == HookOperation::FindClose;
            faults.AddRule(FaultRule{.operation = operation,
                                     .action = is_close ? FaultRule::Action::kCloseThenFail : FaultRule::Action::kFail,
                                     .nth = nth,
                                     .error = ERROR_WRITE_FAULT});
            MountOptions options;
            options.wrap_bottom = [&](const HookTable& fat) { return faults.Wrap(fat); };
            ASSERT_EQ(Manager().MountCard(u"Storage Card", card_dir_, nullptr, options), ERROR_SUCCESS);
            UseTheCard();
            Manager().UnmountCard(u"Storage Card");
            ++runs;
            const std::string label = std::string(HookOperationName(operation)) + " #" + std::to_string(nth);
            EXPECT_EQ(faults.OpenHandles(), 0u) << label;
            EXPECT_TRUE(faults.Violations().empty()) << label;
            EXPECT_EQ(filter_.OpenRecords(), records) << label;
            if (faults.InjectedFaults() == 0) break;
        }
    }
    EXPECT_GT(runs, kHookOperationCount);
}

TEST_F(StorageManagerTest, ClosingAHandleWhileOtherThreadsUseItIsSafe) {
    MountWithFilter();
    ASSERT_TRUE(WriteWholeFile(kNotes, std::string(1000, 'r')));
    const long records = filter_.OpenRecords();
    HANDLE file = CreateFileW(kNotes, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            char buffer[100];
            while (!stop) {
                DWORD count = 0;
                if (!ReadFileWithSeek(file, buffer, sizeof buffer, &count, nullptr, 0, 0)) {
                    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
                    ++refused;
                    return;
                }
            }
        });
    }
    EXPECT_TRUE(CloseHandle(file));
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(filter_.OpenRecords(), records);
}

TEST_F(StorageManagerTest, UnmountingWhileOtherThreadsUseTheCardIsSafe) {
    MountWithFilter();
    ASSERT_TRUE(WriteWholeFile(kNotes, "n"));
    const long records = filter_.OpenRecords();
    const long reads = filter_.Count("ReadFile");
    std::atomic<int> done{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&] {
            // Opens, reads and closes until the card is gone.
            for (;;) {
                HANDLE file = CreateFileW(kNotes, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
                if (file == INVALID_HANDLE_VALUE) {
                    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
                    break;
                }
                char byte;
                DWORD count = 0;
                ReadFile(file, &byte, 1, &count, nullptr);
                CloseHandle(file);
            }
            ++done;
        });
    }
    while (filter_.Count("ReadFile") < reads + 10) std::this_thread::yield();
    EXPECT_EQ(Manager().UnmountCard(u"Storage Card"), ERROR_SUCCESS);
    for (auto& user : users) user.join();
    EXPECT_EQ(done, 3);
    EXPECT_EQ(filter_.OpenRecords(), records);
}

TEST_F(StorageManagerTest, MountRefusesBadNamesDuplicatesAndMissingFolders) {
    ASSERT_EQ(Manager().MountCard(u"Storage Card", card_dir_), ERROR_SUCCESS);
    std::string message;
    EXPECT_EQ(Manager().MountCard(u"STORAGE CARD", MakeCardFolder("dup"), &message), ERROR_ALREADY_EXISTS);
    EXPECT_NE(message.find("Storage Card"), std::string::npos) << message;
    for (std::u16string bad : {u"", u"a\\b", u"*", u".."}) {
        EXPECT_EQ(Manager().MountCard(bad, card_dir_), ERROR_INVALID_NAME);
    }
    EXPECT_NE(Manager().MountCard(u"Gone", scratch_ + "/no-such-folder", &message), ERROR_SUCCESS);
    EXPECT_NE(message.find("no-such-folder"), std::string::npos) << message;
    EXPECT_EQ(Manager().CardNames(), std::vector<std::u16string>{u"Storage Card"});
}

TEST_F(StorageManagerTest, MountsTheCardsNamedInTheRegistry) {
    const std::string other = MakeCardFolder("other");
    RegisterCard(u"Storage Card", card_dir_);
    RegisterCard(u"Other Card", other);
    SetString(u"System\\StorageManager\\Cards\\Broken Card", u"Note", u"no HostPath here");
    RegisterFilter(u"Passthrough", u"PassthroughFilter.so");
    std::vector<std::string> messages;
    EXPECT_NE(Manager().MountConfiguredCards(&messages), ERROR_SUCCESS);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("Broken Card"), std::string::npos) << messages[0];
    // Key order: by folded name.
    EXPECT_EQ(Manager().CardNames(), (std::vector<std::u16string>{u"Other Card", u"Storage Card"}));
    ASSERT_TRUE(WriteWholeFile(u"\\Other Card\\o.txt", "o"));
    EXPECT_EQ(HostFileContent(other + "/o.txt"), "o");
}

TEST_F(StorageManagerTest, InstallFilterWritesTheFilterKeyWithItsDllOnly) {
    ASSERT_EQ(InstallFilter(), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters\\Quillane", 0, 0, &key),
              ERROR_SUCCESS);
    WCHAR name[64];
    DWORD name_size = 64, type = 0;
    WCHAR data[64];
    DWORD data_size = sizeof data;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Dll");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::u16string(data), u"Quillane.so");
    name_size = 64;
    data_size = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_size),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

}  // namespace
}  // namespace platform::storage_test
