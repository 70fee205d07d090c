// Fuzz target: the registry store's reader over any bytes in an entry file.
// The real store is driven: a store of the target's own in a temporary
// folder holds the key Fuzz with the values Data and Other and the subkey
// Sub. Each input becomes Data's entry file and Sub's name file as they lie
// on the host, once as it stands and once with its checksum made right (so
// the fuzzer reaches the checks behind it); then the value is queried and
// the key's values and subkeys are enumerated. Every answer must be
// ERROR_BADDB for a damaged entry, or for an intact one exactly what it
// holds: re-encoding the name, type and data that came back gives the bytes
// on the host. Nothing may touch Other.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/registry/entry_format.h"
#include "platform/registry/registry.h"
#include "platform/registry/store_layout.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Bytes = std::vector<BYTE>;
namespace store = platform::registry_store;

const Bytes kOtherData = {'k', 0, 'e', 0, 'p', 0, 't', 0, 0, 0};

struct FuzzStore {
    std::string temp;
    HKEY key = nullptr;
    std::string dataFile;  // Data's entry file
    std::string subName;   // Sub's name file
};

FuzzStore* g_store = nullptr;

void RemoveStore() {
    if (g_store == nullptr) return;
    std::error_code ignored;
    std::filesystem::remove_all(g_store->temp, ignored);
}

FuzzStore& Store() {
    if (g_store != nullptr) return *g_store;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/quillane-fuzz-reg-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    g_store = new FuzzStore{};
    g_store->temp = pattern;
    std::atexit(RemoveStore);
    const std::string storePath = pattern + "/store";
    ::setenv("QUILLANE_REGISTRY", storePath.c_str(), 1);

    FUZZ_CHECK(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Fuzz", 0, nullptr, 0, 0, nullptr, &g_store->key,
                                         nullptr) == ERROR_SUCCESS);
    HKEY sub = nullptr;
    FUZZ_CHECK(platform::RegCreateKeyExW(g_store->key, u"Sub", 0, nullptr, 0, 0, nullptr, &sub, nullptr) ==
               ERROR_SUCCESS);
    platform::RegCloseKey(sub);
    const BYTE data[] = {1, 2, 3};
    FUZZ_CHECK(platform::RegSetValueExW(g_store->key, u"Data", 0, REG_BINARY, data, sizeof data) == ERROR_SUCCESS);
    FUZZ_CHECK(platform::RegSetValueExW(g_store->key, u"Other", 0, REG_SZ, kOtherData.data(),
                                        static_cast<DWORD>(kOtherData.size())) == ERROR_SUCCESS);

    const std::string keyDirectory = storePath + "/HKEY_LOCAL_MACHINE/" + store::SubkeyHostName(u"Fuzz");
    g_store->dataFile = keyDirectory + "/" + store::ValueHostName(u"Data");
    g_store->subName = keyDirectory + "/" + store::SubkeyHostName(u"Sub") + "/" + store::kKeyNameFile;
    FUZZ_CHECK(std::filesystem::is_regular_file(g_store->dataFile));
    FUZZ_CHECK(std::filesystem::is_regular_file(g_store->subName));
    return *g_store;
}

// Plain write in place: the reader must cope with whatever lies there.
void PutHostFile(const std::string& path, std::span<const BYTE> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

// The bytes with the checksum field (bytes 16 to 19) made to match the rest,
// as the store computes it: CRC-32 of bytes 4 to 15 and of everything from 20.
Bytes WithChecksumMadeRight(Bytes bytes) {
    constexpr std::size_t kHeader = 20;
    if (bytes.size() < kHeader) return bytes;
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, bytes.data() + 4, 12);
    crc = crc32(crc, bytes.data() + kHeader, static_cast<uInt>(bytes.size() - kHeader));
    for (int i = 0; i < 4; ++i) bytes[16 + i] = static_cast<BYTE>(crc >> (8 * i));
    return bytes;
}

// Whether the store wrote these bytes for a value or key named like Data or
// Sub: an intact entry whose name maps to the file's own host name.
bool IsIntactAs(std::span<const BYTE> bytes, bool isKeyName, std::u16string_view name) {
    store::Entry entry;
    if (!store::DecodeEntry(bytes, entry)) return false;
    return isKeyName ? store::SubkeyHostName(entry.name) == store::SubkeyHostName(name)
                     : store::ValueHostName(entry.name) == store::ValueHostName(name);
}

void CheckQuery(HKEY key, std::span<const BYTE> bytes, bool intact) {
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS sized = platform::RegQueryValueExW(key, u"Data", nullptr, &type, nullptr, &size);
    if (!intact) {
        FUZZ_CHECK(sized == ERROR_BADDB);
        BYTE small[16];
        DWORD smallSize = sizeof small;
        FUZZ_CHECK(platform::RegQueryValueExW(key, u"Data", nullptr, nullptr, small, &smallSize) == ERROR_BADDB);
        return;
    }
    FUZZ_CHECK(sized == ERROR_SUCCESS);
    // Exactly as large as the value, so a copy past it meets the sanitizer.
    auto exact = std::make_unique<BYTE[]>(size);
    DWORD exactSize = size;
    FUZZ_CHECK(platform::RegQueryValueExW(key, u"Data", nullptr, nullptr, exact.get(), &exactSize) ==
               ERROR_SUCCESS);
    FUZZ_CHECK(exactSize == size);
    store::Entry entry;
    FUZZ_CHECK(store::DecodeEntry(bytes, entry));
    FUZZ_CHECK(type == entry.type && size == entry.data.size());
    FUZZ_CHECK(std::equal(entry.data.begin(), entry.data.end(), exact.get()));
    if (size > 0) {
        DWORD shortSize = size - 1;
        FUZZ_CHECK(platform::RegQueryValueExW(key, u"Data", nullptr, nullptr, exact.get(), &shortSize) ==
                   ERROR_MORE_DATA);
        FUZZ_CHECK(shortSize == size);
    }
}

// Enumerates the key's values and finds Other intact and Data as it must be.
void CheckValueEnumeration(HKEY key, std::span<const BYTE> bytes, bool intact) {
    bool sawOther = false;
    bool sawData = false;
    bool sawDamage = false;
    for (DWORD index = 0;; ++index) {
        WCHAR one[1];
        DWORD count = 1;
        DWORD dataSize = 0;
        LSTATUS status = platform::RegEnumValueW(key, index, one, &count, nullptr, nullptr, nullptr, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        FUZZ_CHECK(index < 2);
        if (status == ERROR_BADDB) {
            FUZZ_CHECK(!intact && !sawDamage);
            sawDamage = true;
            continue;
        }
        FUZZ_CHECK(status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && count == 0));
        // Buffers of exactly the sizes asked for.
        const DWORD nameCapacity = status == ERROR_MORE_DATA ? count : 1;
        auto name = std::make_unique<WCHAR[]>(nameCapacity);
        auto data = std::make_unique<BYTE[]>(dataSize);
        DWORD nameCount = nameCapacity;
        DWORD got = dataSize;
        DWORD type = 0;
        status = platform::RegEnumValueW(key, index, name.get(), &nameCount, nullptr, &type, data.get(), &got);
        FUZZ_CHECK(status == ERROR_SUCCESS);
        FUZZ_CHECK(nameCount + 1 == nameCapacity && name[nameCount] == 0 && got == dataSize);
        const std::u16string_view found(name.get(), nameCount);
        const Bytes value(data.get(), data.get() + got);
        if (found == u"Other") {
            FUZZ_CHECK(!sawOther && type == REG_SZ && value == kOtherData);
            sawOther = true;
            continue;
        }
        FUZZ_CHECK(intact && !sawData);
        sawData = true;
        // The intact entry is what these three make.
        const Bytes again = store::EncodeEntry(found, type, value);
        FUZZ_CHECK(again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.begin()));
    }
    FUZZ_CHECK(sawOther);
    FUZZ_CHECK(intact ? sawData && !sawDamage : sawDamage && !sawData);
}

void CheckSubkeyEnumeration(HKEY key, std::span<const BYTE> bytes, bool intact) {
    WCHAR one[1];
    DWORD count = 1;
    LSTATUS status = platform::RegEnumKeyExW(key, 0, one, &count, nullptr, nullptr, nullptr, nullptr);
    if (!intact) {
        FUZZ_CHECK(status == ERROR_BADDB);
    } else {
        FUZZ_CHECK(status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && count == 0));
        const DWORD capacity = status == ERROR_MORE_DATA ? count : 1;
        auto name = std::make_unique<WCHAR[]>(capacity);
        DWORD nameCount = capacity;
        DWORD classSize = 0;
        FILETIME written{};
        FUZZ_CHECK(platform::RegEnumKeyExW(key, 0, name.get(), &nameCount, nullptr, nullptr, &classSize, &written) ==
                   ERROR_SUCCESS);
        FUZZ_CHECK(nameCount + 1 == capacity && name[nameCount] == 0 && classSize == 0);
        store::Entry entry;
        FUZZ_CHECK(store::DecodeEntry(bytes, entry));
        const Bytes again = store::EncodeEntry(std::u16string_view(name.get(), nameCount), entry.type, entry.data);
        FUZZ_CHECK(again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.begin()));
    }
    count = 1;
    FUZZ_CHECK(platform::RegEnumKeyExW(key, 1, one, &count, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_NO_MORE_ITEMS);
    // The key opens whatever its name file holds: opening looks only at folders.
    HKEY sub = nullptr;
    FUZZ_CHECK(platform::RegOpenKeyExW(key, u"Sub", 0, 0, &sub) == ERROR_SUCCESS);
    FUZZ_CHECK(platform::RegCloseKey(sub) == ERROR_SUCCESS);
}

void CheckEntryBytes(std::span<const BYTE> bytes) {
    FuzzStore& fuzz = Store();
    PutHostFile(fuzz.dataFile, bytes);
    PutHostFile(fuzz.subName, bytes);
    const bool valueIntact = IsIntactAs(bytes, false, u"Data");
    CheckQuery(fuzz.key, bytes, valueIntact);
    CheckValueEnumeration(fuzz.key, bytes, valueIntact);
    CheckSubkeyEnumeration(fuzz.key, bytes, IsIntactAs(bytes, true, u"Sub"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, data + size);
    CheckEntryBytes(bytes);
    const Bytes mended = WithChecksumMadeRight(bytes);
    if (mended != bytes) CheckEntryBytes(mended);
    return 0;
}
