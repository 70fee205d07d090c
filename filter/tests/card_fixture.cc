// The filter tests' card (see card_fixture.h).
#include "filter/tests/card_fixture.h"

#include <dirent.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "filter/codec/codec.h"
#include "filter/exempt_test.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"

namespace quillane_test {
namespace fs = std::filesystem;

Bytes TextBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
}

Bytes CompressibleBytes(size_t size, unsigned seed) {
    static constexpr std::string_view kWords[] = {"card ", "file ", "block ", "zlib ", "quill ", "lane\n"};
    std::mt19937 random(seed);
    Bytes bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const auto word = kWords[random() % std::size(kWords)];
        for (char c : word) {
            if (bytes.size() == size) break;
            bytes.push_back(static_cast<unsigned char>(c));
        }
    }
    return bytes;
}

namespace {

struct MemorySource {
    const Bytes* bytes;
    size_t position;
};

BOOL ReadMemory(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* source = static_cast<MemorySource*>(context);
    const size_t n = std::min<size_t>(count, source->bytes->size() - source->position);
    std::memcpy(buffer, source->bytes->data() + source->position, n);
    source->position += n;
    *delivered = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteMemory(void* context, const void* buffer, DWORD count) {
    auto* sink = static_cast<Bytes*>(context);
    sink->insert(sink->end(), static_cast<const unsigned char*>(buffer),
                 static_cast<const unsigned char*>(buffer) + count);
    return TRUE;
}

std::string UniqueName(std::string_view purpose) {
    static std::atomic<int> counter{0};
    return std::string(purpose) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::string TestRoot() {
    const char* dir = std::getenv("QUILLANE_TEST_BINARY_DIR");
    return (fs::path(dir != nullptr ? dir : fs::current_path().string()) / "test-scratch").string();
}

}  // namespace

Bytes Encode(const Bytes& plain) {
    MemorySource from{&plain, 0};
    Bytes out;
    const CodecSource source{&from, ReadMemory};
    const CodecSink sink{&out, WriteMemory};
    EXPECT_EQ(CodecEncode(&source, &sink), kCodecCompleted);
    return out;
}

std::optional<Bytes> Decode(const Bytes& compressed) {
    if (!HasSignature(compressed)) return std::nullopt;
    MemorySource from{&compressed, kCodecSignatureSize};
    Bytes out;
    const CodecSource source{&from, ReadMemory};
    const CodecSink sink{&out, WriteMemory};
    if (CodecDecode(&source, &sink) != kCodecCompleted) return std::nullopt;
    return out;
}

bool HasSignature(const Bytes& bytes) {
    return bytes.size() >= kCodecSignatureSize && CodecIsSignature(bytes.data(), kCodecSignatureSize);
}

TempFolder::TempFolder(std::string_view purpose) : path_((fs::path(TestRoot()) / UniqueName(purpose)).string()) {
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

TestRegistry::TestRegistry() {
    setenv("QUILLANE_REGISTRY", folder_.path().c_str(), 1);
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey, 0, nullptr, 0, 0, nullptr,
                                        &key, &disposition),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
}

void TestRegistry::SetExceptions(std::u16string_view text) {
    std::vector<WCHAR> data(quillane_filter::kExceptionBytes / sizeof(WCHAR), 0);
    std::copy_n(text.begin(), std::min(text.size(), data.size()), data.begin());
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey, 0, 0, &key), ERROR_SUCCESS);
    EXPECT_EQ(platform::RegSetValueExW(key, quillane_filter::kExceptionValue, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(data.data()), quillane_filter::kExceptionBytes),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
}

void TestRegistry::RemoveFilterKey() {
    EXPECT_EQ(platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey), ERROR_SUCCESS);
}

Card::Card(std::function<HookTable(const HookTable&)> wrap) {
    fat_ = platform::fat::Volume::Open(folder_.path());
    if (fat_ == nullptr) {
        ADD_FAILURE() << "cannot open the FAT layer over " << folder_.path();
        return;
    }
    below_ = wrap ? wrap(fat_->Hooks()) : fat_->Hooks();
    volume_ = HookVolume(reinterpret_cast<HANDLE>(0x5eed), &below_);
}

Card::~Card() {
    if (volume_ != nullptr) UnhookVolume(volume_);
}

std::string Card::HostPath(std::string_view name) const { return (fs::path(host()) / name).string(); }

void Card::PutHostFile(std::string_view name, const Bytes& bytes) {
    const auto path = fs::path(HostPath(name));
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::optional<Bytes> Card::HostFile(std::string_view name) const {
    std::ifstream in(HostPath(name), std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<Bytes> Card::Content(std::string_view name) const {
    auto bytes = HostFile(name);
    if (!bytes || !HasSignature(*bytes)) return bytes;
    return Decode(*bytes);
}

bool Card::IsCompressedOnCard(std::string_view name) const {
    auto bytes = HostFile(name);
    return bytes && HasSignature(*bytes);
}

std::vector<std::string> Card::StrayTempFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(host())) {
        const std::string name = entry.path().filename().string();
        const bool temp_like = name.size() == 9 && (name[0] == 'v' || name[0] == 'y') && name.ends_with(".TMP");
        if (temp_like) names.push_back(name);
    }
    return names;
}

HANDLE Card::Open(std::u16string_view name, DWORD access, DWORD disposition, DWORD share, DWORD attributes) {
    const std::u16string terminated(name);
    return CreateFileW(volume_, nullptr, terminated.c_str(), access, share, nullptr, disposition, attributes, nullptr);
}

bool Card::Write(HANDLE file, const Bytes& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

Bytes Card::ReadAll(HANDLE file) {
    Bytes all;
    unsigned char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        all.insert(all.end(), buffer, buffer + got);
    }
    return all;
}

bool Card::WriteThrough(std::u16string_view name, const Bytes& bytes) {
    HANDLE file = Open(name, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = Write(file, bytes);
    return CloseFile(file) && written;
}

std::optional<Bytes> Card::ReadThrough(std::u16string_view name) {
    HANDLE file = Open(name, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    Bytes bytes = ReadAll(file);
    if (!CloseFile(file)) return std::nullopt;
    return bytes;
}

}  // namespace quillane_test
