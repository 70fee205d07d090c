// A seeded random walk against an in-memory model: opens, writes at offsets,
// truncations, flushes and closes of several files at once, some of exempt
// types. After every close the card's files, decoded independently of the
// filter, must equal the model; exempt files must be plain, and written
// files of other types compressed.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "filter/tests/card_fixture.h"

namespace quillane_test {
namespace {

struct OpenFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Bytes content;  // what the handle sees
    bool written = false;
};

TEST(ModelTest, RandomOperationsMatchTheModel) {
    const char* seed_text = std::getenv("QUILLANE_MODEL_SEED");
    const unsigned seed = seed_text != nullptr ? static_cast<unsigned>(std::stoul(seed_text)) : 20261211u;
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (QUILLANE_MODEL_SEED repeats it)");
    std::mt19937 random(seed);

    TestRegistry registry;
    registry.SetExceptions(u".jpg.MP3");
    Card card;
    const std::vector<std::u16string> names = {u"\\a.txt", u"\\b.bin", u"\\song.mp3", u"\\pic.JPG", u"\\c.dat"};
    std::map<std::u16string, Bytes> model;  // the card's files as plain data
    std::map<std::u16string, OpenFile> open;

    auto host_name = [](const std::u16string& name) { return std::string(name.begin() + 1, name.end()); };
    auto exempt = [](const std::u16string& name) { return name.ends_with(u".mp3") || name.ends_with(u".JPG"); };

    for (int step = 0; step < 400; ++step) {
        const std::u16string& name = names[random() % names.size()];
        auto it = open.find(name);
        if (it == open.end()) {
            const bool create = random() % 3 == 0 || !model.count(name);
            HANDLE h = card.Open(name, GENERIC_READ | GENERIC_WRITE, create ? OPEN_ALWAYS : OPEN_EXISTING);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << "step " << step;
            OpenFile f;
            f.handle = h;
            f.content = model.count(name) ? model[name] : Bytes{};
            f.written = f.content.empty();
            ASSERT_EQ(card.ReadAll(h), f.content) << "step " << step;
            open[name] = f;
            continue;
        }
        OpenFile& f = it->second;
        switch (random() % 5) {
            case 0: {  // write at an offset, perhaps past the end
                const size_t offset = f.content.empty() ? 0 : random() % (f.content.size() + 1000);
                const size_t size = 1 + random() % (random() % 4 == 0 ? 300000 : 3000);
                const Bytes data = random() % 2 ? RandomBytes(size, random()) : CompressibleBytes(size, random());
                DWORD written = 0;
                ASSERT_TRUE(WriteFileWithSeek(f.handle, data.data(), static_cast<DWORD>(data.size()), &written,
                                              nullptr, static_cast<DWORD>(offset), 0));
                if (f.content.size() < offset + size) f.content.resize(offset + size, 0);
                std::copy(data.begin(), data.end(), f.content.begin() + offset);
                f.written = true;
                break;
            }
            case 1: {  // truncate
                const DWORD size = static_cast<DWORD>(random() % (f.content.size() + 1));
                ASSERT_EQ(SetFilePointer(f.handle, static_cast<LONG>(size), nullptr, FILE_BEGIN), size);
                ASSERT_TRUE(SetEndOfFile(f.handle));
                f.content.resize(size);
                f.written = true;
                break;
            }
            case 2:
                ASSERT_TRUE(FlushFileBuffers(f.handle));
                f.written = true;
                break;
            default: {  // close
                ASSERT_TRUE(CloseFile(f.handle)) << "step " << step;
                const bool written = f.written;
                if (written) model[name] = f.content;
                open.erase(it);  // f goes with its entry
                ASSERT_EQ(card.Content(host_name(name)), model[name]) << "step " << step;
                const bool compressed = card.IsCompressedOnCard(host_name(name));
                if (written) {
                    const bool should_compress = !exempt(name) && !model[name].empty();
                    EXPECT_EQ(compressed, should_compress) << "step " << step;
                }
                break;
            }
        }
    }
    for (auto& [name, f] : open) {
        ASSERT_TRUE(CloseFile(f.handle));
        if (f.written) model[name] = f.content;
    }
    for (const auto& [name, content] : model) EXPECT_EQ(card.Content(host_name(name)), content);
    EXPECT_TRUE(card.StrayTempFiles().empty());
    EXPECT_EQ(card.FatOpenHandles(), 0u);
}

}  // namespace
}  // namespace quillane_test
