// Tests of the FAT layer's file-level operations: reads and writes at the
// file pointer and at explicit offsets, the pointer's move methods, sizes,
// the 4 GiB - 1 limit, times, access checks, null arguments, bad handles.
#include <gtest/gtest.h>

#include <vector>

#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

class FileIoTest : public TestCard {
protected:
    std::string ReadAll(HANDLE file) {
        std::string all;
        char buffer[7];
        DWORD read = 0;
        while (hooks_.ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) all.append(buffer, read);
        return all;
    }
};

TEST_F(FileIoTest, WritesAndReadsFollowTheFilePointer) {
    HANDLE file = Open(u"data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(hooks_.WriteFile(file, "hello, ", 7, &written, nullptr));
    ASSERT_TRUE(hooks_.WriteFile(file, "card", 4, &written, nullptr));
    EXPECT_EQ(hooks_.GetFileSize(file, nullptr), 11u);
    DWORD read = 99;
    char buffer[16];
    EXPECT_TRUE(hooks_.ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u) << "the pointer stands at the end";
    EXPECT_EQ(hooks_.SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_EQ(ReadAll(file), "hello, card");
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, WithSeekFormsUseTheirOffsetAndLeaveThePointer) {
    MakeFile(u"seek.bin", "0123456789");
    HANDLE file = Open(u"seek.bin", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_EQ(hooks_.SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
    char buffer[3];
    DWORD count = 0;
    EXPECT_TRUE(hooks_.ReadFileWithSeek(file, buffer, 3, &count, nullptr, 6, 0));
    EXPECT_EQ(std::string(buffer, count), "678");
    EXPECT_TRUE(hooks_.WriteFileWithSeek(file, "AB", 2, &count, nullptr, 8, 0));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(hooks_.SetFilePointer(file, 0, nullptr, FILE_CURRENT), 2u);
    EXPECT_EQ(ReadAll(file), "234567AB");
    EXPECT_TRUE(hooks_.ReadFileWithSeek(file, buffer, 3, &count, nullptr, 100, 0));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, SetFilePointerMoveMethods) {
    MakeFile(u"move.bin", std::string(100, 'x'));
    HANDLE file = Open(u"move.bin", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct {
        LONG distance;
        DWORD method;
        DWORD expect;
        DWORD expect_error;
    } cases[] = {
        {10, FILE_BEGIN, 10, ERROR_SUCCESS},
        {5, FILE_CURRENT, 15, ERROR_SUCCESS},
        {-20, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK},
        {-1, FILE_END, 99, ERROR_SUCCESS},
        {-100, FILE_END, 0, ERROR_SUCCESS},
        {-101, FILE_END, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK},
        {50, FILE_END, 150, ERROR_SUCCESS},
        {0, 3, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.distance << " from " << c.method);
        SetLastError(0xDEAD);
        EXPECT_EQ(hooks_.SetFilePointer(file, c.distance, nullptr, c.method), c.expect);
        EXPECT_EQ(GetLastError(), c.expect_error);
    }
    // A failed move leaves the pointer where the last good one put it.
    EXPECT_EQ(hooks_.SetFilePointer(file, 0, nullptr, FILE_CURRENT), 150u);
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, SetFilePointerWithHighPart) {
    MakeFile(u"high.bin", "x");
    HANDLE file = Open(u"high.bin", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LONG high = 1;
    EXPECT_EQ(hooks_.SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);
    EXPECT_EQ(high, 1);
    high = -1;  // -1 as a 64-bit distance
    EXPECT_EQ(hooks_.SetFilePointer(file, -1, &high, FILE_CURRENT), 15u);
    EXPECT_EQ(high, 1);
    high = -1;
    EXPECT_EQ(hooks_.SetFilePointer(file, -32, &high, FILE_CURRENT), 0xFFFFFFEFu);
    EXPECT_EQ(high, 0);
    // The low part 0xFFFFFFFF is a position like any other when the error is clear.
    high = 0;
    SetLastError(0xDEAD);
    EXPECT_EQ(hooks_.SetFilePointer(file, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    // Without a high part a position beyond 32 bits cannot be reported.
    EXPECT_EQ(hooks_.SetFilePointer(file, 0x10, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, GetFileSizeReportsTheHighPart) {
    MakeFile(u"size.bin", std::string(1234, 'z'));
    HANDLE file = Open(u"size.bin", 0, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD high = 77;
    EXPECT_EQ(hooks_.GetFileSize(file, &high), 1234u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(hooks_.GetFileSize(file, nullptr), 1234u);
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, FilesStopOneByteShortOfFourGiB) {
    HANDLE file = Open(u"big.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LONG high = 0;
    ASSERT_EQ(hooks_.SetFilePointer(file, static_cast<LONG>(0xFFFFFFFFu), &high, FILE_BEGIN), 0xFFFFFFFFu);
    DWORD written = 5;
    EXPECT_FALSE(hooks_.WriteFile(file, "!", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(hooks_.GetFileSize(file, nullptr), 0u) << "the refused write changed nothing";
    // The last byte a card file can hold.
    EXPECT_TRUE(hooks_.WriteFileWithSeek(file, "!", 1, &written, nullptr, 0xFFFFFFFEu, 0));
    DWORD size_high = 9;
    EXPECT_EQ(hooks_.GetFileSize(file, &size_high), 0xFFFFFFFFu);
    EXPECT_EQ(size_high, 0u);
    EXPECT_FALSE(hooks_.WriteFileWithSeek(file, "!!", 2, &written, nullptr, 0xFFFFFFFEu, 0));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_FALSE(hooks_.WriteFileWithSeek(file, "!", 1, &written, nullptr, 0, 1));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    // Truncating past the limit fails too, and leaves the size.
    high = 1;
    ASSERT_EQ(hooks_.SetFilePointer(file, 0, &high, FILE_BEGIN), 0u);
    EXPECT_FALSE(hooks_.SetEndOfFile(file));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(hooks_.GetFileSize(file, &size_high), 0xFFFFFFFFu);
    EXPECT_EQ(size_high, 0u);
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, SetEndOfFileCutsAndExtendsAtThePointer) {
    MakeFile(u"cut.bin", "0123456789");
    HANDLE file = Open(u"cut.bin", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    hooks_.SetFilePointer(file, 4, nullptr, FILE_BEGIN);
    EXPECT_TRUE(hooks_.SetEndOfFile(file));
    EXPECT_EQ(hooks_.GetFileSize(file, nullptr), 4u);
    hooks_.SetFilePointer(file, 8, nullptr, FILE_BEGIN);
    EXPECT_TRUE(hooks_.SetEndOfFile(file));
    EXPECT_EQ(hooks_.GetFileSize(file, nullptr), 8u);
    EXPECT_TRUE(Close(file));
    EXPECT_EQ(ReadHostFile("cut.bin"), std::string("0123\0\0\0\0", 8));
}

TEST_F(FileIoTest, AccessDecidesWhatAHandleMayDo) {
    MakeFile(u"access.bin", "abc");
    struct {
        DWORD access;
        bool read;
        bool write;
    } cases[] = {
        {GENERIC_READ, true, false},
        {GENERIC_WRITE, false, true},
        {GENERIC_READ | GENERIC_WRITE, true, true},
        {0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.access);
        HANDLE file = Open(u"access.bin", c.access, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        char buffer[4];
        DWORD count = 0;
        EXPECT_EQ(hooks_.ReadFile(file, buffer, 3, &count, nullptr) != FALSE, c.read);
        if (!c.read) {
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        }
        EXPECT_EQ(hooks_.WriteFileWithSeek(file, "abc", 3, &count, nullptr, 0, 0) != FALSE, c.write);
        if (!c.write) {
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        }
        EXPECT_EQ(hooks_.SetEndOfFile(file) != FALSE, c.write);
        const FILETIME time{0x3A2B0000u, 0x01C28DA8u};
        EXPECT_EQ(hooks_.SetFileTime(file, nullptr, nullptr, &time) != FALSE, c.write);
        // Size and times are there for every handle, query-only ones too.
        EXPECT_NE(hooks_.GetFileSize(file, nullptr), 0xFFFFFFFFu);
        FILETIME write_time{};
        EXPECT_TRUE(hooks_.GetFileTime(file, nullptr, nullptr, &write_time));
        EXPECT_TRUE(Close(file));
    }
}

TEST_F(FileIoTest, NullCountsAndBuffersAreRefused) {
    HANDLE file = Open(u"null.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD count = 0;
    EXPECT_FALSE(hooks_.ReadFile(file, buffer, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(hooks_.WriteFile(file, buffer, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(hooks_.ReadFileWithSeek(file, nullptr, 4, &count, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(hooks_.WriteFileWithSeek(file, nullptr, 4, &count, nullptr, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(hooks_.GetFileInformationByHandle(file, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A count of zero with no buffer is a read of nothing.
    EXPECT_TRUE(hooks_.ReadFile(file, nullptr, 0, &count, nullptr));
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, BadHandlesAreRefused) {
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        DWORD count = 0;
        char buffer[1];
        EXPECT_FALSE(hooks_.ReadFile(bad, buffer, 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(hooks_.WriteFile(bad, buffer, 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(hooks_.SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(hooks_.GetFileSize(bad, nullptr), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(hooks_.CloseFile(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(hooks_.FindNextFileW(bad, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(hooks_.FindClose(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    // A search handle is not a file handle.
    MakeFile(u"one.txt", "1");
    WIN32_FIND_DATAW data{};
    HANDLE search = hooks_.FindFirstFileW(hooks_.volume, nullptr, u"*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(hooks_.CloseFile(search));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(hooks_.FindClose(search));
}

TEST_F(FileIoTest, TimesAreSetGivenAndSurviveReopening) {
    HANDLE file = Open(u"times.bin", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME created{}, accessed{}, written{};
    ASSERT_TRUE(hooks_.GetFileTime(file, &created, &accessed, &written));
    EXPECT_NE(created.dwHighDateTime, 0u);
    // 2001-02-03 and later instants; whole seconds suit every host.
    const FILETIME new_creation{0x1A2B0000u, 0x01C08DA8u};
    const FILETIME new_access{0x2A2B0000u, 0x01C18DA8u};
    const FILETIME new_write{0x3A2B0000u, 0x01C28DA8u};
    ASSERT_TRUE(hooks_.SetFileTime(file, &new_creation, &new_access, &new_write));
    // Null pointers and zero times leave those times alone.
    const FILETIME zero{0, 0};
    ASSERT_TRUE(hooks_.SetFileTime(file, nullptr, &zero, nullptr));
    EXPECT_TRUE(Close(file));

    file = Open(u"TIMES.BIN", 0, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(hooks_.GetFileInformationByHandle(file, &info));
    EXPECT_TRUE(Close(file));
    auto value = [](FILETIME t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    EXPECT_EQ(value(info.ftCreationTime), value(new_creation));
    EXPECT_EQ(value(info.ftLastAccessTime), value(new_access));
    EXPECT_EQ(value(info.ftLastWriteTime), value(new_write));
    EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(info.nFileSizeLow, 0u);
}

TEST_F(FileIoTest, TimesSetOnAHandleStayWhileItWrites) {
    HANDLE file = Open(u"expanded", GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const FILETIME old_time{0x12345678u, 0x01D00000u};
    ASSERT_TRUE(hooks_.SetFileTime(file, &old_time, &old_time, &old_time));
    DWORD count = 0;
    ASSERT_TRUE(hooks_.WriteFile(file, "plain data", 10, &count, nullptr));
    ASSERT_TRUE(hooks_.WriteFileWithSeek(file, "!", 1, &count, nullptr, 20, 0));
    hooks_.SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4];
    ASSERT_TRUE(hooks_.ReadFile(file, buffer, 4, &count, nullptr));
    ASSERT_TRUE(hooks_.SetEndOfFile(file));
    EXPECT_TRUE(Close(file));

    file = Open(u"expanded", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME access{}, write{};
    ASSERT_TRUE(hooks_.GetFileTime(file, nullptr, &access, &write));
    EXPECT_TRUE(Close(file));
    EXPECT_EQ(write.dwHighDateTime, old_time.dwHighDateTime);
    EXPECT_EQ(write.dwLowDateTime, old_time.dwLowDateTime);
    EXPECT_EQ(access.dwHighDateTime, old_time.dwHighDateTime);
    EXPECT_EQ(access.dwLowDateTime, old_time.dwLowDateTime);
}

TEST_F(FileIoTest, WritesOfAnotherHandleMoveTheWriteTime) {
    MakeFile(u"moving", "x");
    HANDLE setter = Open(u"moving", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(setter, INVALID_HANDLE_VALUE);
    const FILETIME old_time{0x12345678u, 0x01D00000u};
    ASSERT_TRUE(hooks_.SetFileTime(setter, nullptr, nullptr, &old_time));
    EXPECT_TRUE(Close(setter));
    HANDLE writer = Open(u"moving", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    ASSERT_TRUE(hooks_.WriteFile(writer, "y", 1, &count, nullptr));
    FILETIME write{};
    ASSERT_TRUE(hooks_.GetFileTime(writer, nullptr, nullptr, &write));
    EXPECT_TRUE(Close(writer));
    EXPECT_GT(write.dwHighDateTime, old_time.dwHighDateTime);
}

TEST_F(FileIoTest, TheCreatorOfAReadOnlyFileMaySetItsTimes) {
    HANDLE file = Open(u"staged", GENERIC_WRITE, OPEN_ALWAYS, 0, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(hooks_.WriteFile(file, "data", 4, &written, nullptr));
    const FILETIME when{0x1A2B0000u, 0x01C08DA8u};
    EXPECT_TRUE(hooks_.SetFileTime(file, &when, &when, &when));
    FILETIME creation{};
    EXPECT_TRUE(hooks_.GetFileTime(file, &creation, nullptr, nullptr));
    EXPECT_EQ(creation.dwHighDateTime, when.dwHighDateTime);
    EXPECT_EQ(creation.dwLowDateTime, when.dwLowDateTime);
    EXPECT_TRUE(Close(file));
    EXPECT_NE(Attributes(u"staged") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(ReadHostFile("staged"), "data");
}

TEST_F(FileIoTest, FlushReachesTheCardAndDeviceControlsAreNotSupported) {
    HANDLE file = Open(u"flush.bin", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(hooks_.WriteFile(file, "kept", 4, &written, nullptr));
    EXPECT_TRUE(hooks_.FlushFileBuffers(file));
    EXPECT_EQ(ReadHostFile("flush.bin"), "kept");
    DWORD returned = 7;
    EXPECT_FALSE(hooks_.DeviceIoControl(file, 0x12345, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(hooks_.DeviceIoControl(file, 0, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_TRUE(Close(file));
}

TEST_F(FileIoTest, HandleCountFollowsOpensAndCloses) {
    EXPECT_EQ(volume_->OpenHandleCount(), 0u);
    HANDLE a = Open(u"a", GENERIC_WRITE, CREATE_NEW, FILE_SHARE_READ);
    HANDLE b = Open(u"a", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    WIN32_FIND_DATAW data{};
    HANDLE search = hooks_.FindFirstFileW(hooks_.volume, nullptr, u"\\*", &data);
    EXPECT_EQ(volume_->OpenHandleCount(), 3u);
    EXPECT_EQ(Open(u"missing", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(volume_->OpenHandleCount(), 3u) << "a failed open holds nothing";
    EXPECT_TRUE(Close(a));
    EXPECT_TRUE(Close(b));
    EXPECT_TRUE(hooks_.FindClose(search));
    EXPECT_EQ(volume_->OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace platform::fat
