// Tests of the FAT layer's CreateFileW: dispositions, access, share modes,
// attributes given at creation, read-only files, folders and odd arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

class CreateFileTest : public TestCard {};

struct DispositionCase {
    const char* label;
    DWORD disposition;
    DWORD access;
    bool exists;
    bool expect_ok;
    DWORD expect_error;
    long expect_size;  // -1: the file is not there afterwards
};

TEST_F(CreateFileTest, DispositionsGiveThePlatformsResultsAndErrors) {
    const DispositionCase cases[] = {
        {"create new, missing", CREATE_NEW, GENERIC_WRITE, false, true, ERROR_SUCCESS, 0},
        {"create new, existing", CREATE_NEW, GENERIC_WRITE, true, false, ERROR_FILE_EXISTS, 5},
        {"create always, missing", CREATE_ALWAYS, GENERIC_WRITE, false, true, ERROR_SUCCESS, 0},
        {"create always, existing", CREATE_ALWAYS, GENERIC_WRITE, true, true, ERROR_ALREADY_EXISTS, 0},
        {"create always, existing, read access", CREATE_ALWAYS, GENERIC_READ, true, true, ERROR_ALREADY_EXISTS, 0},
        {"open existing, missing", OPEN_EXISTING, GENERIC_READ, false, false, ERROR_FILE_NOT_FOUND, -1},
        {"open existing, existing", OPEN_EXISTING, GENERIC_READ, true, true, ERROR_SUCCESS, 5},
        {"open existing, query only", OPEN_EXISTING, 0, true, true, ERROR_SUCCESS, 5},
        {"open always, missing", OPEN_ALWAYS, GENERIC_READ | GENERIC_WRITE, false, true, ERROR_SUCCESS, 0},
        {"open always, existing", OPEN_ALWAYS, GENERIC_READ | GENERIC_WRITE, true, true, ERROR_ALREADY_EXISTS, 5},
        {"truncate existing, missing", TRUNCATE_EXISTING, GENERIC_WRITE, false, false, ERROR_FILE_NOT_FOUND, -1},
        {"truncate existing, existing", TRUNCATE_EXISTING, GENERIC_WRITE, true, true, ERROR_SUCCESS, 0},
        {"truncate existing without write", TRUNCATE_EXISTING, GENERIC_READ, true, false, ERROR_ACCESS_DENIED, 5},
        {"no such disposition", 0, GENERIC_READ, true, false, ERROR_INVALID_PARAMETER, 5},
        {"disposition beyond the last", 6, GENERIC_READ, false, false, ERROR_INVALID_PARAMETER, -1},
    };
    int index = 0;
    for (const DispositionCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string host_name = "file" + std::to_string(index++) + ".txt";
        const std::u16string name = u"\\" + std::u16string(host_name.begin(), host_name.end());
        if (c.exists) WriteHostFile(host_name, "hello");
        SetLastError(0xDEAD);
        HANDLE file = Open(name, c.access, c.disposition);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.expect_ok);
        EXPECT_EQ(GetLastError(), c.expect_error);
        if (file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(Close(file));
        }
        if (c.expect_size < 0) {
            EXPECT_FALSE(std::filesystem::exists(Host(host_name)));
        } else {
            EXPECT_EQ(static_cast<long>(std::filesystem::file_size(Host(host_name))), c.expect_size);
        }
    }
}

TEST_F(CreateFileTest, MissingFolderOnTheWayIsPathNotFound) {
    for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
        SCOPED_TRACE(disposition);
        EXPECT_EQ(Open(u"\\nowhere\\file.txt", GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    }
    WriteHostFile("plain.txt", "x");
    EXPECT_EQ(Open(u"\\plain.txt\\file.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(CreateFileTest, FolderNamesAreNotOpenedAsFiles) {
    std::filesystem::create_directory(Host("folder"));
    for (DWORD disposition : {CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
        SCOPED_TRACE(disposition);
        EXPECT_EQ(Open(u"folder", GENERIC_READ | GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Open(u"\\", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_directory(Host("folder")));
}

TEST_F(CreateFileTest, RootNameWithAndWithoutBackslashIsOneFile) {
    MakeFile(u"quillane.x13", "");
    HANDLE file = Open(u"\\quillane.x13", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Close(file));
    EXPECT_TRUE(std::filesystem::exists(Host("quillane.x13")));
}

struct ShareCase {
    DWORD first_access;
    DWORD first_share;
    DWORD second_access;
    DWORD second_share;
    bool expect_ok;
};

TEST_F(CreateFileTest, ShareModesAreEnforcedBetweenHandles) {
    constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
    const ShareCase cases[] = {
        {R, SR, R, SR, true},
        {R, SR, W, SR | SW, false},
        {W, SR | SW, R, SR, false},
        {R, SR | SW, W, SR | SW, true},
        {W, SR, R, SR, false},
        {W, SR, R, SR | SW, true},
        {W, 0, R, SR | SW, false},
        {R | W, SR | SW, R | W, SR | SW, true},
        {R, 0, R, SR, false},
        {R, SR, R, 0, false},
        {R, SR | SW, W, SR, true},
        {R, SR | SW, R | W, SR, true},
        // Opens without read or write access neither refuse nor are refused.
        {0, 0, R | W, 0, true},
        {R | W, 0, 0, 0, true},
        {0, SR | SW, 0, 0, true},
    };
    MakeFile(u"shared.txt", "data");
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first_access << "/" << c.first_share << " then "
                                        << c.second_access << "/" << c.second_share);
        HANDLE first = Open(u"shared.txt", c.first_access, OPEN_EXISTING, c.first_share);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        // The second open spells the name in another case: the two still meet.
        HANDLE second = Open(u"\\SHARED.TXT", c.second_access, OPEN_EXISTING, c.second_share);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.expect_ok);
        if (second != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(Close(second));
        } else {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        EXPECT_TRUE(Close(first));
    }
}

TEST_F(CreateFileTest, ExclusiveOpensExcludeEachOtherAcrossThreads) {
    MakeFile(u"contended", "x");
    std::atomic<int> holders{0};
    std::atomic<int> most_holders{0};
    std::atomic<int> opens{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                HANDLE file = Open(u"CONTENDED", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
                if (file == INVALID_HANDLE_VALUE) {
                    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
                    continue;
                }
                const int now = ++holders;
                int seen = most_holders.load();
                while (now > seen && !most_holders.compare_exchange_weak(seen, now)) {
                }
                ++opens;
                // Leave the count before the close lets the next holder in.
                --holders;
                EXPECT_TRUE(Close(file));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(most_holders.load(), 1);
    EXPECT_GT(opens.load(), 0);
}

// A file removed while a handle holds it (replaced by a rename, or deleted
// on the host) frees its inode when that handle closes, and the host may
// give the inode at once to a file being made: the closed handle must not
// still count as an open of the new file.
TEST_F(CreateFileTest, ANewFileIsNotRefusedForAClosedHandleOfTheInodeItReusesAcrossThreads) {
    constexpr int kRounds = 20000;
    std::atomic<int> refused_removed{0};
    std::thread removed([&] {
        for (int i = 0; i < kRounds; ++i) {
            HANDLE file = Open(u"gone.tmp", GENERIC_WRITE, CREATE_NEW, 0);
            if (file == INVALID_HANDLE_VALUE) {
                ++refused_removed;
                continue;
            }
            ::unlink(Host("gone.tmp").c_str());
            EXPECT_TRUE(Close(file));
        }
    });
    std::map<DWORD, int> failures;
    for (int i = 0; i < kRounds; ++i) {
        HANDLE file = Open(u"made.tmp", GENERIC_WRITE, CREATE_NEW, 0);
        if (file == INVALID_HANDLE_VALUE) {
            ++failures[GetLastError()];
            continue;
        }
        EXPECT_TRUE(Close(file));
        ::unlink(Host("made.tmp").c_str());
    }
    removed.join();
    EXPECT_EQ(refused_removed.load(), 0);
    for (const auto& [error, count] : failures) {
        ADD_FAILURE() << count << " of " << kRounds << " new files were refused with error " << error;
    }
}

// A close through the filter replaces its file in one rename while other
// handles open it: an open that looked the name up just before the rename
// must open the old file or the new one, never fail.
TEST_F(CreateFileTest, AFileReplacedWhileItIsOpenedIsStillOpenedAcrossThreads) {
    MakeFile(u"target.txt", "version 0");
    constexpr int kOpensEach = 20000;
    std::atomic<int> opening{2};
    std::atomic<int> replaced{0};
    std::thread replacer([&] {
        for (int i = 1; opening > 0; ++i) {
            MakeFile(u"stage.tmp", "version " + std::to_string(i));
            // Refused while an opener holds the file; asked again.
            while (opening > 0 && !hooks_.DeleteAndRenameFileW(hooks_.volume, u"target.txt", u"stage.tmp")) {
                EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            }
            ++replaced;
        }
    });
    std::atomic<int> opens{0};
    std::mutex lock;
    std::map<DWORD, int> failures;
    std::vector<std::thread> openers;
    for (int t = 0; t < 2; ++t) {
        openers.emplace_back([&] {
            for (int i = 0; i < kOpensEach; ++i) {
                HANDLE file =
                    Open(u"target.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
                if (file == INVALID_HANDLE_VALUE) {
                    const DWORD error = GetLastError();
                    std::lock_guard guard(lock);
                    ++failures[error];
                    continue;
                }
                ++opens;
                EXPECT_TRUE(Close(file));
            }
            --opening;
        });
    }
    for (std::thread& opener : openers) opener.join();
    replacer.join();
    EXPECT_GT(replaced.load(), 0);
    for (const auto& [error, count] : failures) {
        ADD_FAILURE() << count << " of " << 2 * kOpensEach << " opens failed with error " << error << " ("
                      << replaced.load() << " replaces)";
    }
}

TEST_F(CreateFileTest, RefusedTruncationLeavesTheFileAlone) {
    MakeFile(u"keep.txt", "precious");
    HANDLE reader = Open(u"keep.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(u"keep.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(u"keep.txt", GENERIC_READ, CREATE_ALWAYS, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Close(reader));
    EXPECT_EQ(ReadHostFile("keep.txt"), "precious");
}

TEST_F(CreateFileTest, ClosingAHandleReleasesItsShareMode) {
    MakeFile(u"once.txt", "x");
    HANDLE first = Open(u"once.txt", GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(u"once.txt", GENERIC_READ, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Close(first));
    HANDLE again = Open(u"once.txt", GENERIC_READ, OPEN_EXISTING, 0);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Close(again));
}

TEST_F(CreateFileTest, NewFilesGetTheGivenAttributesAndArchive) {
    struct {
        DWORD given;
        DWORD expected;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_ARCHIVE},
        {0, FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY, FILE_ATTRIBUTE_ARCHIVE},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        const std::u16string name = u"made" + std::u16string(1, static_cast<char16_t>(u'a' + index++));
        HANDLE file = Open(name, GENERIC_WRITE, CREATE_NEW, 0, c.given);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        // The creator may write even a file it made read-only.
        EXPECT_TRUE(hooks_.WriteFile(file, "abc", 3, &written, nullptr));
        EXPECT_TRUE(Close(file));
        EXPECT_EQ(Attributes(name), c.expected);
    }
}

TEST_F(CreateFileTest, ReadOnlyFilesRefuseWriteAccess) {
    MakeFile(u"locked.txt", "fixed", FILE_ATTRIBUTE_READONLY);
    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        SCOPED_TRACE(disposition);
        EXPECT_EQ(Open(u"locked.txt", GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    HANDLE reader = Open(u"locked.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Close(reader));
    EXPECT_EQ(ReadHostFile("locked.txt"), "fixed");
    // Host programs see it read-only too, where the host keeps mode bits.
    if (!HostKeepsModeBits()) return;
    using std::filesystem::perms;
    const perms mode = std::filesystem::status(Host("locked.txt")).permissions();
    EXPECT_EQ(mode & (perms::owner_write | perms::group_write | perms::others_write), perms::none);
}

TEST_F(CreateFileTest, CreateAlwaysGivesAnExistingFileTheNewAttributes) {
    MakeFile(u"marker", "", FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(Attributes(u"marker"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    MakeFile(u"marker", "", FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(Attributes(u"marker"), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    // Opening without overwriting leaves them alone.
    HANDLE file = Open(u"marker", GENERIC_WRITE, OPEN_ALWAYS, 0, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Close(file));
    EXPECT_EQ(Attributes(u"marker"), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(CreateFileTest, LookupIgnoresCaseAndCreationKeepsIt) {
    MakeFile(u"\\Notes.TXT", "mixed");
    HANDLE file = Open(u"notes.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    DWORD read = 0;
    EXPECT_TRUE(hooks_.ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "mixed");
    EXPECT_TRUE(Close(file));
    EXPECT_TRUE(std::filesystem::exists(Host("Notes.TXT")));
    // OPEN_ALWAYS in another case finds the file rather than making a second.
    file = Open(u"NOTES.txt", GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(Close(file));
    EXPECT_FALSE(std::filesystem::exists(Host("NOTES.txt")));
}

TEST_F(CreateFileTest, NullArgumentsAndBadVolumeAreRefused) {
    EXPECT_EQ(hooks_.CreateFileW(hooks_.volume, nullptr, nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hooks_.CreateFileW(nullptr, nullptr, u"x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace platform::fat
