// Helpers of the filter's tests (see test_support.h).
#include "filter/tests/test_support.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "filter/codec/codec_buffers.h"
#include "filter/exempt_test.h"
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
    std::string compressed;
    EXPECT_EQ(CodecEncodeBuffer(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()), compressed),
              kCodecCompleted);
    return Bytes(compressed.begin(), compressed.end());
}

std::optional<Bytes> Decode(const Bytes& compressed) {
    std::string plain;
    const std::string_view bytes(reinterpret_cast<const char*>(compressed.data()), compressed.size());
    if (CodecDecodeBuffer(bytes, plain) != kCodecCompleted) return std::nullopt;
    return Bytes(plain.begin(), plain.end());
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

void TestRegistry::SetText(std::u16string_view value_name, std::u16string_view text, DWORD type) {
    const std::u16string name(value_name), data(text);
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey, 0, 0, &key), ERROR_SUCCESS);
    EXPECT_EQ(platform::RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                       static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
}

void TestRegistry::RemoveFilterKey() {
    EXPECT_EQ(platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey), ERROR_SUCCESS);
}

}  // namespace quillane_test
