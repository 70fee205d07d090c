// The filter tests' card (see card_fixture.h).
#include "filter/tests/card_fixture.h"

#include <filesystem>
#include <fstream>

namespace quillane_test {
namespace fs = std::filesystem;

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
