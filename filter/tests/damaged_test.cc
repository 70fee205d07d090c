// A compressed file that does not decode soundly, opened through the filter
// in every way a program may open it: the open fails with
// ERROR_FILE_CORRUPT, the card file stays exactly as it was, and no
// expansion file stays behind. Served as sound, a write (or a flush) and a
// close would re-encode what the decoder made of it and lose the rest.
#include <gtest/gtest.h>

#include "filter/tests/card_fixture.h"
#include "platform/core/last_error.h"
#include "tests/damaged_forms.h"

namespace quillane_test {
namespace {

TEST(DamagedFileTest, EveryDamagedFormFailsItsOpenAndStaysAsItWas) {
    const Bytes plain = CompressibleBytes(3 * 131072 + 500, 7);
    const Bytes sound = Encode(plain);
    const struct {
        const char* what;
        DWORD access;
        DWORD disposition;
    } opens[] = {
        {"read", GENERIC_READ, OPEN_EXISTING},
        {"read and write", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
        {"write only", GENERIC_WRITE, OPEN_EXISTING},
        {"open always", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS},
    };
    for (const auto& form : quillane::test_forms::DamagedForms(std::string(sound.begin(), sound.end()))) {
        for (const auto& open : opens) {
            SCOPED_TRACE(testing::Message() << form.what << ", " << open.what);
            TestRegistry registry;
            Card card;
            const Bytes stored(form.bytes.begin(), form.bytes.end());
            card.PutHostFile("d.txt", stored);
            EXPECT_EQ(card.Open(u"\\d.txt", open.access, open.disposition), INVALID_HANDLE_VALUE);
            EXPECT_EQ(platform::GetLastError(), ERROR_FILE_CORRUPT);
            EXPECT_EQ(card.HostFile("d.txt"), stored) << "the card file changed";
            EXPECT_TRUE(card.StrayTempFiles().empty()) << "an expansion file stayed behind";
            EXPECT_EQ(card.FatOpenHandles(), 0u);
        }
    }
}

}  // namespace
}  // namespace quillane_test
