// Support for the storage manager's tests (see storage_test_support.h).
#include "platform/storage/storage_test_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/registry.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"

namespace platform::storage_test {
namespace {

std::string ScratchBase() {
    const char* binary_dir = std::getenv("QUILLANE_TEST_BINARY_DIR");
    return std::string(binary_dir != nullptr ? binary_dir : std::filesystem::current_path().string()) +
           "/test-scratch";
}

void CreateKeyWith(const std::u16string& key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(handle, name, 0, type, data, size), ERROR_SUCCESS);
    RegCloseKey(handle);
}

}  // namespace

std::string LibraryFolder() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().string() + "/lib";
}

FilterCounters::FilterCounters(const std::string& library_file)
    : library_(::dlopen((LibraryFolder() + "/" + library_file).c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (library_ == nullptr) ADD_FAILURE() << "cannot load " << library_file << ": " << ::dlerror();
}

FilterCounters::~FilterCounters() {
    if (library_ != nullptr) ::dlclose(library_);
}

void* FilterCounters::Symbol(const char* name) const { return library_ ? ::dlsym(library_, name) : nullptr; }

long FilterCounters::Count(const char* entry) const {
    auto count = reinterpret_cast<long (*)(const char*)>(Symbol("PassthroughCallCount"));
    return count != nullptr ? count(entry) : -2;
}

long FilterCounters::OpenRecords() const {
    auto records = reinterpret_cast<long (*)()>(Symbol("PassthroughOpenRecords"));
    return records != nullptr ? records() : -2;
}

void StorageTest::SetUp() {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch_ = ScratchBase() + "/" + info->test_suite_name() + "." + info->name() + "." +
               std::to_string(::getpid()) + "." + std::to_string(serial++);
    std::filesystem::remove_all(scratch_);
    std::filesystem::create_directories(scratch_ + "/registry");
    ::setenv("QUILLANE_REGISTRY", (scratch_ + "/registry").c_str(), 1);
    // The host's own removable cards must never join a test.
    SetDword(u"System\\StorageManager\\Cards", u"DiscoverRemovable", 0);
}

void StorageTest::TearDown() {
    StorageManager::Instance().UnmountAll();
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
}

std::string StorageTest::MakeCardFolder(const std::string& name) {
    const std::string path = scratch_ + "/cards/" + name;
    std::filesystem::create_directories(path);
    return path;
}

void StorageTest::SetDword(const std::u16string& key, LPCWSTR name, DWORD value) {
    CreateKeyWith(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void StorageTest::SetString(const std::u16string& key, LPCWSTR name, const std::u16string& value) {
    CreateKeyWith(key, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                  static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

void StorageTest::RegisterFilter(const std::u16string& key, const std::u16string& dll, const DWORD* order) {
    const std::u16string path = u"System\\StorageManager\\FATFS\\Filters\\" + key;
    SetString(path, u"Dll", dll);
    if (order != nullptr) SetDword(path, u"Order", *order);
}

void StorageTest::RegisterCard(const std::u16string& folder, const std::string& host_path) {
    SetString(u"System\\StorageManager\\Cards\\" + folder, u"HostPath",
              std::u16string(host_path.begin(), host_path.end()));
}

bool WriteWholeFile(LPCWSTR path, const std::string& content) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    const BOOL closed = CloseHandle(file);
    return wrote && closed && written == content.size();
}

bool ReadWholeFile(LPCWSTR path, std::string* content) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    content->clear();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content->append(buffer, got);
    return CloseHandle(file) != FALSE;
}

std::string HostFileContent(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace platform::storage_test
