// exceptions list/add/delete/clear against the test's own registry store:
// the Exception page's rules, refusals with a message and nothing stored,
// and a stored value byte for byte what the settings program stores.
#include <vector>

#include "cli/tests/cli_test_support.h"
#include "filter/exempt_test.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"
#include "settings/exception_list.h"

namespace quillane::cli::test {
namespace {

class ExceptionsTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_EQ(Run({"install"}).status, 0);
    }

    // The Exception value as the store holds it.
    std::vector<BYTE> StoredValue(DWORD* type) {
        HKEY key = nullptr;
        EXPECT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key), ERROR_SUCCESS);
        std::vector<BYTE> data(8192);
        DWORD size = static_cast<DWORD>(data.size());
        EXPECT_EQ(platform::RegQueryValueExW(key, kExceptionValueName, nullptr, type, data.data(), &size),
                  ERROR_SUCCESS);
        platform::RegCloseKey(key);
        data.resize(size);
        return data;
    }

    std::string Listed() {
        const RunResult result = Run({"exceptions", "list"});
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }
};

// Stores the Exception value's data exactly as given.
void PutValue(const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key), ERROR_SUCCESS);
    ASSERT_EQ(platform::RegSetValueExW(key, kExceptionValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                       static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
}

std::string Utf16Bytes(std::u16string_view units) {
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

TEST_F(ExceptionsTest, TheListIsExactlyWhatTheFilterAppliesAndAnUnusableValueIsSaidSo) {
    const struct {
        const char* what;
        std::string data;
        std::string listed;
        const char* warning;  // on standard error; empty: none, and exit status 0
    } cases[] = {
        {"sound", Utf16Bytes(u".mp3.zz"), "mp3\nzz\n", ""},
        {"no leading dot", Utf16Bytes(u"mp3.zz"), "zz\n", "does not begin with"},
        {"odd length", Utf16Bytes(u".mp3.zz") + "q", "mp3\nzzq\n", "odd length"},
        {"longer than 4096 bytes", Utf16Bytes(u".mp3.zz" + std::u16string(2100, u'a')), "",
         "longer than the 4096 bytes the filter reads"},
    };
    const char16_t* probes[] = {u"mp3", u"p3", u"zz", u"zzq", u"a"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PutValue(c.data);
        const RunResult result = Run({"exceptions"});
        EXPECT_EQ(result.out, c.listed);
        if (*c.warning == 0) {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(Holds(result.err, "warning: ")) << result.err;
            EXPECT_TRUE(Holds(result.err, c.warning)) << result.err;
        }
        // What is listed is what the filter's own exempt test applies.
        for (const char16_t* probe : probes) {
            const std::u16string name = std::u16string(u"\\song.") + probe;
            const bool listed = Holds("\n" + result.out, "\n" + platform::Utf8FromUtf16Lossy(probe) + "\n");
            EXPECT_EQ(quillane_filter::IsExempt(name.c_str()) != FALSE, listed)
                << platform::Utf8FromUtf16Lossy(probe);
        }
    }
}

TEST_F(ExceptionsTest, ConvertWarnsAtStartWhenTheListCannotBeUsed) {
    PutValue(Utf16Bytes(u".mp3" + std::u16string(2100, u'a')));
    WriteFile("card/song.mp3", TextOfSize(10000));
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Holds(result.err, "warning: the stored exempt list")) << result.err;
    EXPECT_TRUE(Holds(result.err, "the filter exempts no type")) << result.err;
}

TEST_F(ExceptionsTest, AddSortsWithoutRegardToCaseAndStoresAsTheSettingsProgramDoes) {
    const RunResult add = Run({"exceptions", "add", "wmv", ".MP3", "..jpg", "tar.gz"});
    ASSERT_EQ(add.status, 0) << add.err;
    // A type with a dot in it counts as two: loading splits it.
    EXPECT_EQ(Listed(), "gz\njpg\nMP3\ntar\nwmv\n");

    DWORD type = REG_NONE;
    const std::vector<BYTE> stored = StoredValue(&type);
    EXPECT_EQ(type, REG_SZ);
    ASSERT_EQ(stored.size(), 4096u);

    // What the settings program's storing writes for the same list, in a
    // store of its own.
    const std::string reference = Path("reference-registry");
    ::setenv("QUILLANE_REGISTRY", reference.c_str(), 1);
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
    const std::vector<std::u16string> items{u"jpg", u"MP3", u"tar.gz", u"wmv"};
    ASSERT_EQ(StoreExceptionList(items), ERROR_SUCCESS);
    DWORD reference_type = REG_NONE;
    const std::vector<BYTE> expected = StoredValue(&reference_type);
    ::setenv("QUILLANE_REGISTRY", RegistryPath().c_str(), 1);
    EXPECT_EQ(reference_type, REG_SZ);
    EXPECT_EQ(stored, expected);

    // The text itself: ".jpg.MP3.tar.gz.wmv", a NUL, zeros.
    const std::u16string text = u".jpg.MP3.tar.gz.wmv";
    for (size_t i = 0; i < text.size(); ++i) {
        EXPECT_EQ(stored[2 * i], static_cast<BYTE>(text[i]));
        EXPECT_EQ(stored[2 * i + 1], 0);
    }
    for (size_t i = 2 * text.size(); i < stored.size(); ++i) ASSERT_EQ(stored[i], 0) << i;
}

TEST_F(ExceptionsTest, TheSameTypeWithTheSameCaseIsRefusedAndNothingIsStored) {
    ASSERT_EQ(Run({"exceptions", "add", "wmv"}).status, 0);
    const RunResult again = Run({"exceptions", "add", "mp3", "wmv"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Holds(again.err, "wmv is already listed")) << again.err;
    EXPECT_TRUE(Holds(again.err, "nothing stored"));
    EXPECT_EQ(Listed(), "wmv\n");  // mp3 was not stored either

    const RunResult twice = Run({"exceptions", "add", "ogg", ".ogg"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(Listed(), "wmv\n");

    // Another case is another entry, as on the page (matching ignores case).
    ASSERT_EQ(Run({"exceptions", "add", "WMV"}).status, 0);
    EXPECT_EQ(Listed(), "wmv\nWMV\n");
}

TEST_F(ExceptionsTest, DotsAloneOrNothingAreRefused) {
    for (const char* typed : {"", ".", "..."}) {
        const RunResult result = Run({"exceptions", "add", typed});
        EXPECT_EQ(result.status, 1) << typed;
        EXPECT_TRUE(Holds(result.err, "names no type")) << result.err;
    }
    EXPECT_EQ(Listed(), "");
}

TEST_F(ExceptionsTest, AListThatWouldNotFitTheValueIsRefused) {
    const std::string long_type(2040, 'x');
    ASSERT_EQ(Run({"exceptions", "add", long_type}).status, 0);
    const RunResult result = Run({"exceptions", "add", "toolong"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "does not fit")) << result.err;
    EXPECT_EQ(Listed(), long_type + "\n");
}

TEST_F(ExceptionsTest, DeleteRemovesTheTypeAsListedAndRefusesOneNotListed) {
    ASSERT_EQ(Run({"exceptions", "add", "wmv", "mp3", "jpg"}).status, 0);
    const RunResult deleted = Run({"exceptions", "delete", ".mp3", "jpg"});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(Listed(), "wmv\n");

    const RunResult wrong_case = Run({"exceptions", "delete", "WMV"});
    EXPECT_EQ(wrong_case.status, 1);
    EXPECT_TRUE(Holds(wrong_case.err, "WMV is not listed (the list holds wmv")) << wrong_case.err;
    const RunResult partly = Run({"exceptions", "delete", "wmv", "ogg"});
    EXPECT_EQ(partly.status, 1);
    EXPECT_TRUE(Holds(partly.err, "ogg is not listed"));
    EXPECT_EQ(Listed(), "wmv\n");
}

TEST_F(ExceptionsTest, AnEmptyItemFromAStoredValueCanBeListedAndDeleted) {
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key), ERROR_SUCCESS);
    const std::u16string text = u"..mp3";
    std::vector<BYTE> data(4096, 0);
    for (size_t i = 0; i < text.size(); ++i) data[2 * i] = static_cast<BYTE>(text[i]);
    ASSERT_EQ(platform::RegSetValueExW(key, kExceptionValueName, 0, REG_SZ, data.data(), 4096), ERROR_SUCCESS);
    platform::RegCloseKey(key);
    EXPECT_EQ(Listed(), "\"\"\nmp3\n");
    ASSERT_EQ(Run({"exceptions", "delete", ""}).status, 0);
    EXPECT_EQ(Listed(), "mp3\n");
}

TEST_F(ExceptionsTest, ClearEmptiesTheListAndStoresTheEmptyText) {
    ASSERT_EQ(Run({"exceptions", "add", "wmv"}).status, 0);
    const RunResult cleared = Run({"exceptions", "clear"});
    EXPECT_EQ(cleared.status, 0);
    EXPECT_EQ(Listed(), "");
    DWORD type = REG_NONE;
    const std::vector<BYTE> stored = StoredValue(&type);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(stored, std::vector<BYTE>(4096, 0));
}

TEST_F(ExceptionsTest, WithoutTheFilterInstalledNothingIsStoredAndTheMessageSaysWhatToDo) {
    const std::string other = Path("empty-registry");
    const RunResult add = Run({"exceptions", "add", "wmv"}, {}, {{"QUILLANE_REGISTRY", other}});
    EXPECT_EQ(add.status, 1);
    EXPECT_TRUE(Holds(add.err, "run 'quillane install' first")) << add.err;
    const RunResult list = Run({"exceptions"}, {}, {{"QUILLANE_REGISTRY", other}});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "");
}

}  // namespace
}  // namespace quillane::cli::test
