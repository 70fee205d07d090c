// Tests of the mount's inode numbers: one number per name for the life of
// the mount, moved by renames, kept by removed files while they are used.
#include "mount/node_table.h"

#include <gtest/gtest.h>

namespace quillane::mount {
namespace {

TEST(NodeTableTest, OneNumberPerNameWithoutRegardToCase) {
    NodeTable table;
    const auto notes = table.Child(kRootNode, u"Notes.txt");
    EXPECT_NE(notes->number, kRootNode);
    EXPECT_EQ(table.Child(kRootNode, u"NOTES.TXT")->number, notes->number);
    EXPECT_EQ(table.FindChild(kRootNode, u"notes.txt"), notes);
    EXPECT_EQ(table.VolumePath(*notes), u"\\Notes.txt");
    const auto other = table.Child(kRootNode, u"other.txt");
    EXPECT_NE(other->number, notes->number);
    EXPECT_EQ(table.Find(notes->number), notes);
    EXPECT_EQ(table.VolumePath(*table.Find(kRootNode)), u"");
}

TEST(NodeTableTest, PathsFollowFolderRenames) {
    NodeTable table;
    const auto folder = table.Child(kRootNode, u"docs");
    const auto file = table.Child(folder->number, u"a.txt");
    const auto target = table.Child(kRootNode, u"archive");
    EXPECT_EQ(table.VolumePath(*file), u"\\docs\\a.txt");
    table.Move(*folder, target->number, u"old docs");
    EXPECT_EQ(table.VolumePath(*file), u"\\archive\\old docs\\a.txt");
    EXPECT_EQ(table.FindChild(kRootNode, u"docs"), nullptr);
    EXPECT_EQ(table.FindChild(target->number, u"OLD DOCS"), folder);
    EXPECT_TRUE(table.Contains(*target, file->number));
    EXPECT_FALSE(table.Contains(*file, target->number));
    EXPECT_EQ(table.ParentOf(*folder), target->number);
}

TEST(NodeTableTest, RenameOverANameReplacesItsNode) {
    NodeTable table;
    const auto a = table.Child(kRootNode, u"a");
    const auto b = table.Child(kRootNode, u"b");
    const NodeNumber a_number = a->number;
    table.Move(*a, kRootNode, u"b");
    EXPECT_EQ(table.FindChild(kRootNode, u"b")->number, a_number);
    EXPECT_TRUE(table.IsUnlinked(*b));
    EXPECT_EQ(table.Find(b->number), nullptr);  // nothing used it
}

TEST(NodeTableTest, RemovedNodesStayWhileUsed) {
    NodeTable table;
    const auto file = table.Child(kRootNode, u"f");
    const NodeNumber number = file->number;
    table.Remember(*file);
    EXPECT_EQ(table.Pin(*file), 1u);
    table.Detach(*file, u".hidden-1");
    EXPECT_TRUE(table.IsUnlinked(*file));
    EXPECT_EQ(table.VolumePath(*file), u"\\.hidden-1");
    EXPECT_EQ(table.FindChild(kRootNode, u"f"), nullptr);
    // A new file of the old name is another file.
    EXPECT_NE(table.Child(kRootNode, u"f")->number, number);

    EXPECT_EQ(table.Used().size(), 1u);
    EXPECT_EQ(table.Unpin(*file), 0u);
    table.ReleaseIfUnused(*file);
    EXPECT_NE(table.Find(number), nullptr);  // the kernel still knows it
    table.Forget(number, 1);
    EXPECT_EQ(table.Find(number), nullptr);
}

TEST(NodeTableTest, NamesOnTheCardKeepTheirNumbersAfterForget) {
    NodeTable table;
    const auto file = table.Child(kRootNode, u"kept");
    const NodeNumber number = file->number;
    table.Remember(*file);
    table.Forget(number, 1);
    EXPECT_EQ(table.Child(kRootNode, u"kept")->number, number);
}

TEST(NodeTableTest, UsedBelowAFolder) {
    NodeTable table;
    const auto folder = table.Child(kRootNode, u"d");
    const auto inside = table.Child(folder->number, u"x");
    const auto outside = table.Child(kRootNode, u"y");
    table.Pin(*inside);
    table.Pin(*outside);
    const auto used = table.UsedBelow(*folder);
    ASSERT_EQ(used.size(), 1u);
    EXPECT_EQ(used[0], inside);
}

}  // namespace
}  // namespace quillane::mount
