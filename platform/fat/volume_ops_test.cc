// Tests of the FAT layer's volume-level operations on names: folders,
// attributes, delete, move, delete-and-rename, free space, notifications.
#include <gtest/gtest.h>

#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

class VolumeOpsTest : public TestCard {};

TEST_F(VolumeOpsTest, OpenRefusesWhatIsNoFolder) {
    EXPECT_EQ(Volume::Open(Host("missing").string()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    WriteHostFile("plain", "x");
    EXPECT_EQ(Volume::Open(Host("plain").string()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_EQ(volume_->HostDirectory(), dir_.string());
}

TEST_F(VolumeOpsTest, FoldersAreMadeAndRemoved) {
    EXPECT_TRUE(hooks_.CreateDirectoryW(hooks_.volume, u"\\Photos", nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(Host("Photos")));
    EXPECT_EQ(Attributes(u"photos"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(hooks_.CreateDirectoryW(hooks_.volume, u"\\PHOTOS", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(hooks_.CreateDirectoryW(hooks_.volume, u"\\", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(hooks_.CreateDirectoryW(hooks_.volume, u"\\none\\deeper", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(hooks_.CreateDirectoryW(hooks_.volume, u"\\bad:name", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    MakeFile(u"\\photos\\one.jpg", "x");
    EXPECT_FALSE(hooks_.RemoveDirectoryW(hooks_.volume, u"\\photos"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(hooks_.RemoveDirectoryW(hooks_.volume, u"\\photos\\one.jpg"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(hooks_.RemoveDirectoryW(hooks_.volume, u"\\nothing"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(hooks_.RemoveDirectoryW(hooks_.volume, u"\\"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(hooks_.DeleteFileW(hooks_.volume, u"\\photos\\one.jpg"));
    EXPECT_TRUE(hooks_.RemoveDirectoryW(hooks_.volume, u"\\photos"));
    EXPECT_FALSE(std::filesystem::exists(Host("Photos")));
}

TEST_F(VolumeOpsTest, GetFileAttributesErrors) {
    WriteHostFile("file.txt", "x");
    struct {
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {u"\\missing.txt", ERROR_FILE_NOT_FOUND},
        {u"\\missing\\file.txt", ERROR_PATH_NOT_FOUND},
        {u"\\file.txt\\inner", ERROR_PATH_NOT_FOUND},
        {u"\\bad<name", ERROR_INVALID_NAME},
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(hooks_.GetFileAttributesW(hooks_.volume, c.path), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(Attributes(u"\\"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(VolumeOpsTest, AttributesAreSetAndSurviveReopening) {
    MakeFile(u"marker", "");
    struct {
        DWORD set;
        DWORD expected;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL},
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
        {0, FILE_ATTRIBUTE_NORMAL},
        {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY, FILE_ATTRIBUTE_ARCHIVE},
    };
    // A host without extended attributes (a FUSE-served FAT driver) has the
    // volume keep them while it is open; only another volume misses them.
    const bool extended = HostHasExtendedAttributes();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        EXPECT_TRUE(hooks_.SetFileAttributesW(hooks_.volume, u"\\MARKER", c.set));
        EXPECT_EQ(Attributes(u"marker"), c.expected);
        if (!extended) continue;
        // Another volume over the same folder sees the same attributes.
        auto again = Volume::Open(dir_.string());
        ASSERT_NE(again, nullptr);
        HookTable other = again->Hooks();
        EXPECT_EQ(other.GetFileAttributesW(other.volume, u"marker"), c.expected);
    }
    struct {
        const char16_t* path;
        DWORD error;
    } refused[] = {
        {u"\\gone", ERROR_FILE_NOT_FOUND},
        {u"\\gone\\deeper", ERROR_PATH_NOT_FOUND},
        {u"\\", ERROR_ACCESS_DENIED},
        {u"\\a?b", ERROR_INVALID_NAME},
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(testing::Message() << "refused case " << (&c - refused));
        EXPECT_FALSE(hooks_.SetFileAttributesW(hooks_.volume, c.path, FILE_ATTRIBUTE_HIDDEN));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(VolumeOpsTest, FoldersKeepAttributesToo) {
    ASSERT_TRUE(hooks_.CreateDirectoryW(hooks_.volume, u"\\secret", nullptr));
    EXPECT_TRUE(hooks_.SetFileAttributesW(hooks_.volume, u"\\secret", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Attributes(u"\\secret"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
    // A hidden folder still takes new files.
    MakeFile(u"\\secret\\inside.txt", "x");
}

TEST_F(VolumeOpsTest, DeleteRefusesOpenFoldersAndReadOnlyFiles) {
    MakeFile(u"open.txt", "x");
    HANDLE file = Open(u"open.txt", 0, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(hooks_.DeleteFileW(hooks_.volume, u"\\OPEN.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Close(file));
    EXPECT_TRUE(hooks_.DeleteFileW(hooks_.volume, u"\\OPEN.TXT"));
    EXPECT_FALSE(std::filesystem::exists(Host("open.txt")));

    MakeFile(u"locked.txt", "x", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(hooks_.DeleteFileW(hooks_.volume, u"locked.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(hooks_.SetFileAttributesW(hooks_.volume, u"locked.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(hooks_.DeleteFileW(hooks_.volume, u"locked.txt"));

    std::filesystem::create_directory(Host("folder"));
    struct {
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {u"\\folder", ERROR_ACCESS_DENIED},
        {u"\\", ERROR_ACCESS_DENIED},
        {u"\\missing", ERROR_FILE_NOT_FOUND},
        {u"\\missing\\x", ERROR_PATH_NOT_FOUND},
        {u"\\x>y", ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_FALSE(hooks_.DeleteFileW(hooks_.volume, c.path));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(VolumeOpsTest, MoveNeverReplaces) {
    MakeFile(u"a.txt", "A");
    MakeFile(u"b.txt", "B");
    EXPECT_FALSE(hooks_.MoveFileW(hooks_.volume, u"a.txt", u"B.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile("a.txt"), "A");
    EXPECT_EQ(ReadHostFile("b.txt"), "B");

    ASSERT_TRUE(hooks_.CreateDirectoryW(hooks_.volume, u"\\dir", nullptr));
    EXPECT_TRUE(hooks_.MoveFileW(hooks_.volume, u"\\a.txt", u"\\dir\\moved.txt"));
    EXPECT_EQ(ReadHostFile("dir/moved.txt"), "A");
    EXPECT_FALSE(std::filesystem::exists(Host("a.txt")));
    // Folders move too, with what they hold.
    EXPECT_TRUE(hooks_.MoveFileW(hooks_.volume, u"\\dir", u"\\renamed"));
    EXPECT_EQ(ReadHostFile("renamed/moved.txt"), "A");

    struct {
        const char16_t* from;
        const char16_t* to;
        DWORD error;
    } cases[] = {
        {u"\\missing", u"\\x", ERROR_FILE_NOT_FOUND},
        {u"\\b.txt", u"\\none\\x", ERROR_PATH_NOT_FOUND},
        {u"\\b.txt", u"\\bad|name", ERROR_INVALID_NAME},
        {u"\\", u"\\x", ERROR_ACCESS_DENIED},
        {u"\\b.txt", u"\\renamed", ERROR_ALREADY_EXISTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_FALSE(hooks_.MoveFileW(hooks_.volume, c.from, c.to));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(VolumeOpsTest, MoveMayChangeOnlyTheCase) {
    MakeFile(u"photo.jpg", "P");
    EXPECT_TRUE(hooks_.MoveFileW(hooks_.volume, u"photo.jpg", u"Photo.JPG"));
    EXPECT_TRUE(std::filesystem::exists(Host("Photo.JPG")));
    EXPECT_FALSE(std::filesystem::exists(Host("photo.jpg")));
    EXPECT_EQ(ReadHostFile("Photo.JPG"), "P");
}

TEST_F(VolumeOpsTest, MoveRefusesAnOpenFile) {
    MakeFile(u"busy.txt", "x");
    HANDLE file = Open(u"busy.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(hooks_.MoveFileW(hooks_.volume, u"busy.txt", u"other.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Close(file));
    EXPECT_TRUE(hooks_.MoveFileW(hooks_.volume, u"busy.txt", u"other.txt"));
}

TEST_F(VolumeOpsTest, DeleteAndRenameReplacesTheDestination) {
    MakeFile(u"notes.txt", "old content");
    MakeFile(u"y1234.TMP", "new");
    HANDLE watcher = Open(u"notes.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(watcher, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(hooks_.DeleteAndRenameFileW(hooks_.volume, u"\\notes.txt", u"\\y1234.TMP"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(Close(watcher));

    EXPECT_TRUE(hooks_.DeleteAndRenameFileW(hooks_.volume, u"\\NOTES.TXT", u"\\y1234.tmp"));
    EXPECT_EQ(ReadHostFile("notes.txt"), "new");
    EXPECT_FALSE(std::filesystem::exists(Host("y1234.TMP")));
    EXPECT_FALSE(std::filesystem::exists(Host("NOTES.TXT"))) << "the existing name is replaced, not doubled";

    // A missing destination is simply the new name.
    MakeFile(u"z.tmp", "z");
    EXPECT_TRUE(hooks_.DeleteAndRenameFileW(hooks_.volume, u"\\fresh.txt", u"\\z.tmp"));
    EXPECT_EQ(ReadHostFile("fresh.txt"), "z");

    MakeFile(u"src.tmp", "s");
    MakeFile(u"locked.txt", "l", FILE_ATTRIBUTE_READONLY);
    std::filesystem::create_directory(Host("folder"));
    struct {
        const char16_t* destination;
        const char16_t* source;
        DWORD error;
    } cases[] = {
        {u"\\notes.txt", u"\\missing", ERROR_FILE_NOT_FOUND},
        {u"\\locked.txt", u"\\src.tmp", ERROR_ACCESS_DENIED},
        {u"\\folder", u"\\src.tmp", ERROR_ACCESS_DENIED},
        {u"\\notes.txt", u"\\folder", ERROR_ACCESS_DENIED},
        {u"\\none\\x", u"\\src.tmp", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_FALSE(hooks_.DeleteAndRenameFileW(hooks_.volume, c.destination, c.source));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(ReadHostFile("src.tmp"), "s");
    EXPECT_EQ(ReadHostFile("locked.txt"), "l");
}

TEST_F(VolumeOpsTest, FreeSpaceCountsFitTwentyEightBits) {
    DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
    ASSERT_TRUE(hooks_.GetDiskFreeSpaceW(hooks_.volume, u"\\", &sectors, &bytes, &free_clusters, &total_clusters));
    EXPECT_EQ(bytes, 512u);
    EXPECT_GT(sectors, 0u);
    EXPECT_EQ(sectors & (sectors - 1), 0u) << "a power of two";
    EXPECT_GT(total_clusters, 0u);
    EXPECT_LE(total_clusters, 0x0FFFFFFFu);
    EXPECT_LE(free_clusters, total_clusters);
    // Null places are simply not written.
    DWORD only_total = 0;
    EXPECT_TRUE(hooks_.GetDiskFreeSpaceW(hooks_.volume, nullptr, nullptr, nullptr, nullptr, &only_total));
    EXPECT_EQ(only_total, total_clusters);
}

TEST_F(VolumeOpsTest, NotificationsAndRefreshSucceed) {
    EXPECT_TRUE(hooks_.Notify(hooks_.volume, 0xFFFFFFFFu));
    EXPECT_TRUE(hooks_.RegisterFileSystemFunction(hooks_.volume, nullptr));
    EXPECT_TRUE(hooks_.RefreshVolume(hooks_.volume));
    EXPECT_TRUE(hooks_.CloseVolume(hooks_.volume));
}

}  // namespace
}  // namespace platform::fat
