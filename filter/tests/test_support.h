// Helpers of the filter's tests that need no filter: test data, the codec on
// memory, a scratch folder in the build tree and a registry store of the
// test's own with the filter's key in it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"

namespace quillane_test {

using Bytes = std::vector<unsigned char>;

Bytes TextBytes(std::string_view text);
Bytes RandomBytes(size_t size, unsigned seed);
Bytes CompressibleBytes(size_t size, unsigned seed);
// The compressed form of `plain`, as the codec writes it.
Bytes Encode(const Bytes& plain);
// The plain data of a compressed file's bytes (which must carry the signature).
std::optional<Bytes> Decode(const Bytes& compressed);
bool HasSignature(const Bytes& bytes);

// A fresh, empty folder under the build tree, removed with the object.
class TempFolder {
public:
    explicit TempFolder(std::string_view purpose);
    ~TempFolder();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Points QUILLANE_REGISTRY at a fresh store with the filter's key in it.
class TestRegistry {
public:
    TestRegistry();
    // Stores `text` as the `Exception` value the way the settings program
    // does: REG_SZ, 4096 bytes, NUL and zeros after the text.
    void SetExceptions(std::u16string_view text);
    // Stores `text` with its NUL as a value of the filter's key, of `type`.
    void SetText(std::u16string_view value_name, std::u16string_view text, DWORD type = REG_SZ);
    void RemoveFilterKey();

private:
    TempFolder folder_{"registry"};
};

}  // namespace quillane_test
