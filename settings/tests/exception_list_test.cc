// Tests of loading and storing the `Exception` value and of the Add rule,
// against the real registry store in a private folder.
#include "settings/exception_list.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "settings/tests/test_registry.h"

namespace quillane {
namespace {

using Items = std::vector<std::u16string>;

class ExceptionListTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registry_.ready()); }

    void PutRaw(const std::u16string& units, DWORD type = REG_SZ) { ASSERT_TRUE(registry_.PutException(units, type)); }

    std::u16string Raw(DWORD* type = nullptr) {
        std::optional<std::u16string> data = registry_.ExceptionData(type);
        EXPECT_TRUE(data.has_value());
        return data.value_or(u"");
    }

    Items Load(DWORD expected_status = ERROR_SUCCESS) {
        Items items{u"left over"};
        EXPECT_EQ(LoadExceptionList(items), expected_status);
        return items;
    }

    TestRegistry registry_;
};

TEST_F(ExceptionListTest, StoringWritesTheJoinedTextNulAndZerosAsFourKilobytes) {
    const struct {
        Items items;
        std::u16string text;
    } cases[] = {
        {{}, u""},
        {{u"wmv", u"mp3"}, u".wmv.mp3"},
        {{u"mp3", u"wmv"}, u".mp3.wmv"},
        {{u"tar.gz"}, u".tar.gz"},
        {{u"", u"mp3"}, u"..mp3"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(StoreExceptionList(c.items), ERROR_SUCCESS);
        DWORD type = 0;
        const std::u16string raw = Raw(&type);
        EXPECT_EQ(type, REG_SZ);
        ASSERT_EQ(raw.size() * sizeof(WCHAR), kExceptionDataBytes);
        EXPECT_EQ(raw.substr(0, c.text.size()), c.text);
        EXPECT_EQ(raw.find_first_not_of(u'\0', c.text.size()), std::u16string::npos) << "filler must be zeros";
    }
}

TEST_F(ExceptionListTest, LoadingSplitsTheStoredText) {
    const struct {
        std::u16string stored;
        Items items;
    } cases[] = {
        {u"", {}},
        {u".wmv.mp3", {u"wmv", u"mp3"}},
        {u".tar.gz", {u"tar", u"gz"}},
        {u"..mp3", {u"", u"mp3"}},
        {u"mp3", {}},  // no "." on its left: the filter never matches it
        {u"mp3.zz", {u"zz"}},
        {u"x", {}},
        {u".wmv.", {u"wmv", u""}},
        {std::u16string(u".wmv\0.mp3", 9), {u"wmv"}},  // readers stop at the first NUL
    };
    for (const auto& c : cases) {
        PutRaw(c.stored);
        EXPECT_EQ(Load(), c.items);
    }
}

TEST_F(ExceptionListTest, StoredItemsLoadBackTheSame) {
    const Items lists[] = {{}, {u"mp3", u"wmv"}, {u"", u"a"}, {u"Mp3", u"mp3", u"with space"}};
    for (const Items& items : lists) {
        ASSERT_EQ(StoreExceptionList(items), ERROR_SUCCESS);
        EXPECT_EQ(Load(), items);
    }
}

TEST_F(ExceptionListTest, AMissingValueOrKeyLoadsNothing) {
    EXPECT_EQ(Load(ERROR_FILE_NOT_FOUND), Items{});
    ASSERT_EQ(platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kFilterKeyPath), ERROR_SUCCESS);
    EXPECT_EQ(Load(ERROR_FILE_NOT_FOUND), Items{});
}

TEST_F(ExceptionListTest, AMissingKeyIsNeverCreatedByStoring) {
    ASSERT_EQ(platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kFilterKeyPath), ERROR_SUCCESS);
    EXPECT_EQ(StoreExceptionList(Items{u"wmv"}), ERROR_FILE_NOT_FOUND);
    HKEY key = nullptr;
    EXPECT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(ExceptionListTest, AValueOfAnotherTypeIsReadAsText) {
    PutRaw(u".wmv", REG_BINARY);
    EXPECT_EQ(Load(), (Items{u"wmv"}));
}

TEST_F(ExceptionListTest, AValueLongerThanFourKilobytesIsAnEmptyListAndSaidSo) {
    // The filter reads nothing of a value that does not fit its 4096 bytes.
    PutRaw(u".mp3" + std::u16string(2100, u'a'));
    Items items{u"left over"};
    std::string problem;
    EXPECT_EQ(LoadExceptionList(items, &problem), ERROR_SUCCESS);
    EXPECT_EQ(items, Items{});
    EXPECT_NE(problem.find("longer than the 4096 bytes the filter reads"), std::string::npos) << problem;
    EXPECT_EQ(ExceptionListWarning(), problem);
}

TEST_F(ExceptionListTest, AValueTheFilterCannotUseAsStoredIsSaidSo) {
    const auto bytes = [](std::u16string_view units) {
        return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(WCHAR));
    };
    const struct {
        const char* what;
        std::string data;
        Items items;
        const char* problem;  // empty: none
    } cases[] = {
        {"sound", bytes(u".mp3.zz"), {u"mp3", u"zz"}, ""},
        {"without its NUL, every character kept", bytes(u".mp3.zz"), {u"mp3", u"zz"}, ""},
        {"no leading dot", bytes(u"mp3.zz"), {u"zz"}, "does not begin with"},
        {"odd length", bytes(u".mp3.zz") + "q", {u"mp3", u"zzq"}, "odd length (15 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HKEY key = nullptr;
        ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key), ERROR_SUCCESS);
        ASSERT_EQ(platform::RegSetValueExW(key, kExceptionValueName, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(c.data.data()),
                                           static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS);
        platform::RegCloseKey(key);
        Items items;
        std::string problem;
        EXPECT_EQ(LoadExceptionList(items, &problem), ERROR_SUCCESS);
        EXPECT_EQ(items, c.items);
        if (*c.problem == 0) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
        EXPECT_EQ(ExceptionListWarning(), "") << "the filter can read it: no warning at start";
    }
}

TEST_F(ExceptionListTest, ATextOfExactlyTheValueSizeRoundTripsWithoutItsNul) {
    const Items items{std::u16string(2047, u'z')};  // ".zzz..." is 2048 characters
    ASSERT_EQ(StoreExceptionList(items), ERROR_SUCCESS);
    const std::u16string raw = Raw();
    ASSERT_EQ(raw.size(), 2048u);
    EXPECT_EQ(raw.find(u'\0'), std::u16string::npos);
    EXPECT_EQ(Load(), items);
}

TEST_F(ExceptionListTest, AListTooLongForTheValueIsNotStoredCut) {
    ASSERT_EQ(StoreExceptionList(Items{u"keep"}), ERROR_SUCCESS);
    EXPECT_EQ(StoreExceptionList(Items{std::u16string(2048, u'z')}), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Load(), Items{u"keep"});
}

TEST_F(ExceptionListTest, AnItemLongerThanAFixedLoadingBufferLoadsWhole) {
    const Items items{std::u16string(300, u'q'), u"wmv"};
    ASSERT_EQ(StoreExceptionList(items), ERROR_SUCCESS);
    EXPECT_EQ(Load(), items);
}

TEST(ExceptionAddRule, Verdicts) {
    const Items listed{u"WMV", u"mp3"};
    const struct {
        std::u16string typed;
        AddVerdict verdict;
        std::u16string item;
    } cases[] = {
        {u".WMV2", AddVerdict::Accepted, u"WMV2"},
        {u"..ogg", AddVerdict::Accepted, u"ogg"},
        {u"wmv", AddVerdict::Accepted, u"wmv"},  // case is regarded
        {u"WMV", AddVerdict::AlreadyListed, u"WMV"},
        {u".mp3", AddVerdict::AlreadyListed, u"mp3"},
        {u"", AddVerdict::Empty, u""},
        {u"...", AddVerdict::Empty, u""},
        {u"tar.gz", AddVerdict::Accepted, u"tar.gz"},
        {u". x .", AddVerdict::Accepted, u" x ."},
    };
    for (const auto& c : cases) {
        std::u16string item = u"stale";
        EXPECT_EQ(CheckNewItem(c.typed, listed, item), c.verdict);
        EXPECT_EQ(item, c.item);
    }
}

TEST(ExceptionAddRule, TheStoredTextMayReachButNotPassItsLimit) {
    // ".WMV.mp3" takes 8 characters; an item of n characters adds n + 1.
    const Items listed{u"WMV", u"mp3"};
    const size_t room = kExceptionTextLimit - 8 - 1;
    std::u16string item;
    EXPECT_EQ(CheckNewItem(std::u16string(room, u'k'), listed, item), AddVerdict::Accepted);
    EXPECT_EQ(CheckNewItem(std::u16string(room + 1, u'k'), listed, item), AddVerdict::TooLong);
    EXPECT_EQ(CheckNewItem(u"..." + std::u16string(room, u'k'), listed, item), AddVerdict::Accepted);
    EXPECT_EQ(CheckNewItem(std::u16string(kExceptionTextLimit, u'k'), Items{}, item), AddVerdict::TooLong);
    EXPECT_EQ(CheckNewItem(std::u16string(kExceptionTextLimit - 1, u'k'), Items{}, item), AddVerdict::Accepted);
}

}  // namespace
}  // namespace quillane
