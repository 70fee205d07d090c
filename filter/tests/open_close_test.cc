// The filter's open and close on a real card folder through the real FAT
// layer: what a handle stands for at open, and what the card holds after the
// close, for each state a handle can be in.
#include <gtest/gtest.h>

#include "filter/codec/codec.h"
#include <cstring>
#include <filesystem>

#include "filter/tests/card_fixture.h"
#include "platform/hook/fault_layer.h"
#include "platform/core/clock.h"
#include "platform/core/last_error.h"

namespace quillane_test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

class FilterTest : public ::testing::Test {
protected:
    TestRegistry registry_;
    Card card_;

    // A compressed file on the card holding `plain`, put there directly.
    void PutCompressed(std::string_view name, const Bytes& plain) { card_.PutHostFile(name, Encode(plain)); }
};

TEST_F(FilterTest, NewFileWrittenAndClosedIsCompressed) {
    const Bytes text = CompressibleBytes(300000, 1);
    ASSERT_TRUE(card_.WriteThrough(u"\\notes.txt", text));
    EXPECT_TRUE(card_.IsCompressedOnCard("notes.txt"));
    EXPECT_LT(card_.HostFile("notes.txt")->size(), text.size());
    EXPECT_EQ(card_.Content("notes.txt"), text);
    EXPECT_EQ(card_.ReadThrough(u"\\notes.txt"), text);
    EXPECT_TRUE(card_.StrayTempFiles().empty());
    EXPECT_EQ(card_.FatOpenHandles(), 0u);
}

TEST_F(FilterTest, CompressedFileOpensAsItsPlainData) {
    const Bytes plain = CompressibleBytes(200000, 2);
    PutCompressed("doc.txt", plain);
    const Bytes stored = *card_.HostFile("doc.txt");

    HANDLE file = card_.Open(u"\\doc.txt", GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), plain.size());
    // While open, the plain copy lives at the root and the listing still
    // shows the stored size.
    ASSERT_EQ(card_.StrayTempFiles().size(), 1u);
    EXPECT_EQ(card_.StrayTempFiles()[0][0], 'v');
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(card_.volume(), nullptr, u"\\doc.txt", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.nFileSizeLow, stored.size());
    EXPECT_TRUE(FindClose(search));

    EXPECT_EQ(card_.ReadAll(file), plain);
    EXPECT_TRUE(CloseFile(file));
    EXPECT_EQ(card_.HostFile("doc.txt"), stored);  // unwritten: bytes untouched
    EXPECT_TRUE(card_.StrayTempFiles().empty());
    EXPECT_EQ(card_.FatOpenHandles(), 0u);
}

TEST_F(FilterTest, RewriteWithLessDataLeavesNoOldBlocksBehind) {
    PutCompressed("log.txt", RandomBytes(400000, 3));
    const Bytes shorter = TextBytes("short and sweet");
    HANDLE file = card_.Open(u"\\log.txt", kReadWrite);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetEndOfFile(file));  // at offset 0: truncates the expansion file
    ASSERT_TRUE(card_.Write(file, shorter));
    ASSERT_TRUE(CloseFile(file));
    EXPECT_EQ(card_.HostFile("log.txt"), Encode(shorter));
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, EmptyingDispositionsTakeTheEmptyFilePath) {
    for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        PutCompressed("a.bin", CompressibleBytes(1000, 4));
        HANDLE file = card_.Open(u"\\a.bin", kReadWrite, disposition);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(card_.StrayTempFiles().empty()) << "no expansion for an emptied file";
        EXPECT_EQ(GetFileSize(file, nullptr), 0u);
        ASSERT_TRUE(CloseFile(file));
        EXPECT_EQ(card_.HostFile("a.bin"), Bytes{}) << "closed empty, stays an empty plain file";
    }
}

TEST_F(FilterTest, OpenAlwaysReportsExistingFileLikeTheLayerBelow) {
    PutCompressed("c.txt", TextBytes("hello"));
    HANDLE file = card_.Open(u"\\c.txt", kReadWrite, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(card_.ReadAll(file), TextBytes("hello"));
    EXPECT_TRUE(CloseFile(file));
}

TEST_F(FilterTest, SignatureOnlyFileOpensEmptyAndStaysAsItWas) {
    const Bytes signature(kCodecSignature, kCodecSignature + kCodecSignatureSize);
    card_.PutHostFile("sig", signature);
    HANDLE file = card_.Open(u"\\sig", GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    EXPECT_EQ(card_.StrayTempFiles().size(), 1u);
    EXPECT_TRUE(CloseFile(file));
    EXPECT_EQ(card_.HostFile("sig"), signature);
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, ShortFilesArePlainWithPointerAtStart) {
    for (const Bytes& bytes : {Bytes{0xBE}, Bytes{0xBE, 0xEF}, Bytes{0xBE, 0xEF, 0x85}}) {
        card_.PutHostFile("short", bytes);
        HANDLE file = card_.Open(u"\\short", GENERIC_READ);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(card_.ReadAll(file), bytes);
        EXPECT_TRUE(CloseFile(file));
        EXPECT_EQ(card_.HostFile("short"), bytes);
    }
}

TEST_F(FilterTest, PlainFileStartingWithSignatureIsDamagedAndStaysAsItIs) {
    // Signature, then a raw block of 3 bytes and a header cut short.
    const Bytes bytes = {0xBE, 0xEF, 0x85, 0xA1, 3, 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z', 7, 0};
    card_.PutHostFile("odd", bytes);
    EXPECT_EQ(card_.ReadThrough(u"\\odd"), std::nullopt);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_CORRUPT);
    EXPECT_EQ(card_.HostFile("odd"), bytes);
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, TwoHandlesOnOneCompressedFileHaveTheirOwnCopies) {
    PutCompressed("shared.txt", TextBytes("original"));
    HANDLE first = card_.Open(u"\\shared.txt", kReadWrite, OPEN_EXISTING, 0);
    HANDLE second = card_.Open(u"\\shared.txt", kReadWrite, OPEN_EXISTING, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(card_.StrayTempFiles().size(), 2u);
    ASSERT_TRUE(card_.Write(first, TextBytes("FIRST")));
    EXPECT_EQ(card_.ReadAll(second), TextBytes("original"));
    ASSERT_TRUE(CloseFile(first));
    ASSERT_EQ(SetFilePointer(second, 0, nullptr, FILE_BEGIN), 0u);
    ASSERT_TRUE(SetEndOfFile(second));
    ASSERT_TRUE(card_.Write(second, TextBytes("SECOND!!")));
    ASSERT_TRUE(CloseFile(second));
    EXPECT_EQ(card_.Content("shared.txt"), TextBytes("SECOND!!"));  // the last close decides
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, CallerWithoutReadAccessStillGetsThePlainCopy) {
    PutCompressed("w.txt", TextBytes("abcdef"));
    HANDLE file = card_.Open(u"\\w.txt", GENERIC_WRITE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(card_.Write(file, TextBytes("XY")));
    ASSERT_TRUE(CloseFile(file));
    EXPECT_EQ(card_.Content("w.txt"), TextBytes("XYcdef"));
    EXPECT_TRUE(card_.IsCompressedOnCard("w.txt"));

    HANDLE query = card_.Open(u"\\w.txt", 0);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(query, nullptr), 6u);
    EXPECT_TRUE(CloseFile(query));
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, OverlongNameFailsBeforeAnythingOpens) {
    const std::u16string name = u"\\" + std::u16string(255, u'n');
    HANDLE file = card_.Open(name, kReadWrite, CREATE_ALWAYS);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(card_.FatOpenHandles(), 0u);
}

TEST_F(FilterTest, MissingFileFailsWithTheLayersError) {
    EXPECT_EQ(card_.Open(u"\\missing.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilterTest, TakenExpansionNamesAreNeverReused) {
    PutCompressed("data.txt", TextBytes("mine"));
    // Occupy the names the next few seconds of tick counts would draw.
    const DWORD now = platform::GetTickCount();
    std::vector<std::string> occupied;
    for (DWORD i = 0; i < 3000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "v%04X.TMP", (now + i) & 0xFFFF);
        occupied.push_back(name);
        card_.PutHostFile(name, TextBytes("someone else's"));
    }
    EXPECT_EQ(card_.ReadThrough(u"\\data.txt"), TextBytes("mine"));
    for (const auto& name : occupied) ASSERT_EQ(card_.HostFile(name), TextBytes("someone else's")) << name;
}

// What the card holds after a close, by the handle's state at close.
struct CloseCase {
    const char* what;
    bool compressed_at_open;
    bool exempt;
    enum { kNothing, kRead, kFlush, kWrite, kTruncate } action;
    enum { kUnchanged, kCompressedNew, kPlainNew, kEmptyPlain } after;
};

const CloseCase kCloseCases[] = {
    {"plain, clean", false, false, CloseCase::kRead, CloseCase::kUnchanged},
    {"plain, written", false, false, CloseCase::kWrite, CloseCase::kCompressedNew},
    {"plain, flushed only", false, false, CloseCase::kFlush, CloseCase::kCompressedNew},
    {"plain, written, exempt", false, true, CloseCase::kWrite, CloseCase::kPlainNew},
    {"plain, truncated to 0", false, false, CloseCase::kTruncate, CloseCase::kEmptyPlain},
    {"compressed, clean", true, false, CloseCase::kRead, CloseCase::kUnchanged},
    {"compressed, written", true, false, CloseCase::kWrite, CloseCase::kCompressedNew},
    {"compressed, flushed only", true, false, CloseCase::kFlush, CloseCase::kCompressedNew},
    {"compressed, clean, now exempt", true, true, CloseCase::kRead, CloseCase::kUnchanged},
    {"compressed, written, now exempt", true, true, CloseCase::kWrite, CloseCase::kPlainNew},
    {"compressed, truncated to 0", true, false, CloseCase::kTruncate, CloseCase::kEmptyPlain},
};

TEST_F(FilterTest, CloseLeavesWhatTheStateAtCloseCalls) {
    const Bytes old_plain = CompressibleBytes(150000, 5);
    const Bytes appended = TextBytes(" and more");
    Bytes new_plain = old_plain;
    new_plain.insert(new_plain.end(), appended.begin(), appended.end());
    registry_.SetExceptions(u".mp3");

    for (const auto& c : kCloseCases) {
        SCOPED_TRACE(c.what);
        const std::string host = c.exempt ? "song.mp3" : "song.txt";
        const std::u16string name = c.exempt ? u"\\song.mp3" : u"\\song.txt";
        if (c.compressed_at_open) {
            PutCompressed(host, old_plain);
        } else {
            card_.PutHostFile(host, old_plain);
        }
        const Bytes before = *card_.HostFile(host);

        HANDLE file = card_.Open(name, kReadWrite);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        switch (c.action) {
            case CloseCase::kNothing: break;
            case CloseCase::kRead: card_.ReadAll(file); break;
            case CloseCase::kFlush: ASSERT_TRUE(FlushFileBuffers(file)); break;
            case CloseCase::kWrite:
                SetFilePointer(file, 0, nullptr, FILE_END);
                ASSERT_TRUE(card_.Write(file, appended));
                break;
            case CloseCase::kTruncate: ASSERT_TRUE(SetEndOfFile(file)); break;
        }
        ASSERT_TRUE(CloseFile(file));

        switch (c.after) {
            case CloseCase::kUnchanged: EXPECT_EQ(card_.HostFile(host), before); break;
            case CloseCase::kCompressedNew: {
                EXPECT_TRUE(card_.IsCompressedOnCard(host));
                EXPECT_EQ(card_.Content(host), c.action == CloseCase::kFlush ? old_plain : new_plain);
                break;
            }
            case CloseCase::kPlainNew: EXPECT_EQ(card_.HostFile(host), new_plain); break;
            case CloseCase::kEmptyPlain: EXPECT_EQ(card_.HostFile(host), Bytes{}); break;
        }
        EXPECT_TRUE(card_.StrayTempFiles().empty());
        EXPECT_EQ(card_.FatOpenHandles(), 0u);
    }
}

TEST_F(FilterTest, CloseKeepsAttributesAndTakesTheSourcesTimes) {
    card_.PutHostFile("hidden.txt", CompressibleBytes(5000, 6));
    HANDLE setup = card_.Open(u"\\hidden.txt", kReadWrite);
    ASSERT_NE(setup, INVALID_HANDLE_VALUE);
    const FILETIME old_time{0x12345678u, 0x01D00000u};
    ASSERT_TRUE(SetFileTime(setup, &old_time, &old_time, &old_time));
    ASSERT_TRUE(CloseFile(setup));  // clean: stays plain with those times
    ASSERT_TRUE(SetFileAttributesW(card_.volume(), u"\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));

    HANDLE file = card_.Open(u"\\hidden.txt", GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(FlushFileBuffers(file));
    ASSERT_TRUE(CloseFile(file));
    EXPECT_TRUE(card_.IsCompressedOnCard("hidden.txt"));
    EXPECT_EQ(GetFileAttributesW(card_.volume(), u"\\hidden.txt") & FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN);

    HANDLE again = card_.Open(u"\\hidden.txt", GENERIC_READ);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    FILETIME creation{}, access{}, write{};
    ASSERT_TRUE(GetFileTime(again, &creation, &access, &write));
    EXPECT_EQ(write.dwHighDateTime, old_time.dwHighDateTime);
    EXPECT_EQ(write.dwLowDateTime, old_time.dwLowDateTime);
    EXPECT_TRUE(CloseFile(again));
}

TEST_F(FilterTest, ReadOnlyFileIsCompressedAndStaysReadOnly) {
    card_.PutHostFile("ro.txt", CompressibleBytes(5000, 7));
    ASSERT_TRUE(SetFileAttributesW(card_.volume(), u"\\ro.txt", FILE_ATTRIBUTE_READONLY));
    HANDLE file = card_.Open(u"\\ro.txt", GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(FlushFileBuffers(file));
    ASSERT_TRUE(CloseFile(file));
    EXPECT_TRUE(card_.IsCompressedOnCard("ro.txt"));
    EXPECT_EQ(card_.Content("ro.txt"), CompressibleBytes(5000, 7));
    EXPECT_NE(GetFileAttributesW(card_.volume(), u"\\ro.txt") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, FileRemovedWhileOpenKeepsWrittenDataOnlyWhereItIs) {
    // Written: the expansion file is the one place the data is, so it stays
    // for recovery and the removed file does not come back.
    PutCompressed("gone.txt", TextBytes("old"));
    HANDLE written = card_.Open(u"\\gone.txt", kReadWrite);
    ASSERT_NE(written, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(card_.Write(written, TextBytes("new data")));
    ASSERT_TRUE(DeleteFileW(card_.volume(), u"\\gone.txt"));
    ASSERT_TRUE(CloseFile(written));
    EXPECT_FALSE(card_.HostFile("gone.txt").has_value());
    ASSERT_EQ(card_.StrayTempFiles().size(), 1u);
    EXPECT_EQ(card_.HostFile(card_.StrayTempFiles()[0]), TextBytes("new data"));

    // Unwritten: nothing to keep.
    std::filesystem::remove(card_.HostPath(card_.StrayTempFiles()[0]));
    PutCompressed("gone.txt", TextBytes("old"));
    HANDLE clean = card_.Open(u"\\gone.txt", GENERIC_READ);
    ASSERT_NE(clean, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileW(card_.volume(), u"\\gone.txt"));
    ASSERT_TRUE(CloseFile(clean));
    EXPECT_FALSE(card_.HostFile("gone.txt").has_value());
    EXPECT_TRUE(card_.StrayTempFiles().empty());
}

TEST_F(FilterTest, CreatedAndClosedWithoutDataStaysEmptyPlain) {
    HANDLE file = card_.Open(u"\\empty.dat", kReadWrite, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseFile(file));
    EXPECT_EQ(card_.HostFile("empty.dat"), Bytes{});
}

TEST_F(FilterTest, StagingNamesInUseAreLeftAlone) {
    const DWORD now = platform::GetTickCount();
    std::vector<std::string> occupied;
    for (DWORD i = 0; i < 3000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "y%04X.TMP", (now + i) & 0xFFFF);
        occupied.push_back(name);
        card_.PutHostFile(name, TextBytes("left by a failed close"));
    }
    ASSERT_TRUE(card_.WriteThrough(u"\\fresh.txt", CompressibleBytes(10000, 8)));
    EXPECT_EQ(card_.Content("fresh.txt"), CompressibleBytes(10000, 8));
    for (const auto& name : occupied) ASSERT_EQ(card_.HostFile(name), TextBytes("left by a failed close")) << name;
}

// Which entries mark a plain file for compression at its close.
struct DirtyCase {
    const char* entry;
    bool marks;
    std::function<void(HANDLE)> call;
};

TEST_F(FilterTest, ExactlyTheFiveChangingEntriesMarkTheFileDirty) {
    static unsigned char buffer[16];
    const DirtyCase cases[] = {
        {"WriteFile of nothing", true, [](HANDLE f) { DWORD n; WriteFile(f, buffer, 0, &n, nullptr); }},
        {"WriteFileWithSeek", true, [](HANDLE f) { DWORD n; WriteFileWithSeek(f, "z", 1, &n, nullptr, 2, 0); }},
        {"FlushFileBuffers", true, [](HANDLE f) { FlushFileBuffers(f); }},
        {"SetEndOfFile at the end", true,
         [](HANDLE f) { SetFilePointer(f, 0, nullptr, FILE_END); SetEndOfFile(f); }},
        {"DeviceIoControl that fails", true,
         [](HANDLE f) { DWORD n; DeviceIoControl(f, 0x12345678, nullptr, 0, nullptr, 0, &n, nullptr); }},
        {"ReadFile", false, [](HANDLE f) { DWORD n; ReadFile(f, buffer, 4, &n, nullptr); }},
        {"ReadFileWithSeek", false, [](HANDLE f) { DWORD n; ReadFileWithSeek(f, buffer, 4, &n, nullptr, 1, 0); }},
        {"SetFilePointer", false, [](HANDLE f) { SetFilePointer(f, 3, nullptr, FILE_BEGIN); }},
        {"GetFileSize", false, [](HANDLE f) { DWORD high; GetFileSize(f, &high); }},
        {"GetFileInformationByHandle", false,
         [](HANDLE f) { BY_HANDLE_FILE_INFORMATION i; GetFileInformationByHandle(f, &i); }},
        {"GetFileTime", false, [](HANDLE f) { FILETIME t; GetFileTime(f, &t, &t, &t); }},
        {"SetFileTime", false, [](HANDLE f) { FILETIME t{1, 0x01D00000u}; SetFileTime(f, &t, &t, &t); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        card_.PutHostFile("plain.txt", TextBytes("plain text here"));
        HANDLE file = card_.Open(u"\\plain.txt", GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        c.call(file);
        ASSERT_TRUE(CloseFile(file));
        EXPECT_EQ(card_.IsCompressedOnCard("plain.txt"), c.marks);
    }
}

TEST_F(FilterTest, SearchesPassThroughWithRecordsOfTheirOwn) {
    WIN32_FIND_DATAW found{};
    EXPECT_EQ(FindFirstFileW(card_.volume(), nullptr, u"\\*.none", &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    card_.PutHostFile("one.txt", TextBytes("1"));
    card_.PutHostFile("two.txt", TextBytes("22"));
    HANDLE search = FindFirstFileW(card_.volume(), nullptr, u"\\*.txt", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int count = 1;
    while (FindNextFileW(search, &found)) ++count;
    EXPECT_EQ(platform::GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(FindClose(search));
    EXPECT_EQ(card_.FatOpenHandles(), 0u);
}

TEST_F(FilterTest, VolumeEntriesPassThrough) {
    EXPECT_TRUE(CreateDirectoryW(card_.volume(), u"\\Music", nullptr));
    EXPECT_EQ(GetFileAttributesW(card_.volume(), u"\\Music") & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(card_.WriteThrough(u"\\Music\\a.txt", TextBytes("a")));
    EXPECT_TRUE(MoveFileW(card_.volume(), u"\\Music\\a.txt", u"\\Music\\b.txt"));
    EXPECT_FALSE(RemoveDirectoryW(card_.volume(), u"\\Music"));
    EXPECT_EQ(platform::GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(DeleteFileW(card_.volume(), u"\\Music\\b.txt"));
    EXPECT_TRUE(RemoveDirectoryW(card_.volume(), u"\\Music"));
    EXPECT_EQ(GetFileAttributesW(card_.volume(), u"\\Music"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(CloseVolume(card_.volume()));
    EXPECT_TRUE(RefreshVolume(card_.volume()));
    EXPECT_TRUE(Notify(card_.volume(), 0));
}

}  // namespace
}  // namespace quillane_test

namespace quillane_test {
namespace {

TEST(HookTest, FilterWorksFromItsOwnCopyOfTheTable) {
    TestRegistry registry;
    TempFolder folder("hook-card");
    platform::FaultLayer calls;
    auto fat = platform::fat::Volume::Open(folder.path());
    ASSERT_NE(fat, nullptr);
    HookTable table = calls.Wrap(fat->Hooks());
    table.leading = 0xDEADBEEF;  // any value; never read
    HANDLE volume = HookVolume(reinterpret_cast<HANDLE>(0x1234), &table);
    ASSERT_NE(volume, nullptr);
    std::memset(&table, 0, sizeof table);  // the platform's table may change or go

    HANDLE file = CreateFileW(volume, nullptr, u"\\a.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
    ASSERT_TRUE(CloseFile(file));

    calls.ClearCalls();
    EXPECT_TRUE(UnhookVolume(volume));
    EXPECT_TRUE(calls.Calls().empty()) << "unhooking makes no call to the next layer";
    EXPECT_EQ(calls.OpenHandles(), 0u);
}

}  // namespace
}  // namespace quillane_test
