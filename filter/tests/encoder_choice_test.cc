// The `Encoder` value against the real registry store: which texts choose
// which block encoder, read afresh at every close, and what a close writes
// with each: a file both decoders read back exactly.
#include <gtest/gtest.h>

#include "filter/encoder_choice.h"
#include "filter/tests/card_fixture.h"

namespace quillane_test {
namespace {

TEST(EncoderChoiceTest, ReadsTheValueAtEveryCall) {
    TestRegistry registry;
    EXPECT_EQ(quillane_filter::ChosenEncoder(), kCodecEncoderZlib);  // no value
    struct {
        std::u16string_view stored;
        DWORD type;
        CodecEncoder chosen;
    } cases[] = {
        {u"libdeflate", REG_SZ, kCodecEncoderLibdeflate},
        {u"LibDeflate", REG_SZ, kCodecEncoderLibdeflate},
        {u"zlib", REG_SZ, kCodecEncoderZlib},
        {u"", REG_SZ, kCodecEncoderZlib},
        {u"libdeflate2", REG_SZ, kCodecEncoderZlib},
        {u"libdeflate and much more text than any name", REG_SZ, kCodecEncoderZlib},
        {u"libdeflate", REG_BINARY, kCodecEncoderZlib},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        registry.SetText(quillane_filter::kEncoderValue, c.stored, c.type);
        EXPECT_EQ(quillane_filter::ChosenEncoder(), c.chosen);
    }
    registry.RemoveFilterKey();
    EXPECT_EQ(quillane_filter::ChosenEncoder(), kCodecEncoderZlib);
}

// A close compresses with the encoder the value names at that close, and
// the card's files read back the same whichever wrote them.
TEST(EncoderChoiceTest, EachCloseUsesTheEncoderNamedThen) {
    TestRegistry registry;
    Card card;
    const Bytes data = CompressibleBytes(3 * 131072 + 5, 7);
    Bytes written[2];
    const std::u16string_view names[] = {u"zlib", u"libdeflate"};
    for (int i = 0; i < 2; ++i) {
        registry.SetText(quillane_filter::kEncoderValue, names[i]);
        const std::u16string file = u"\\note" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".txt";
        ASSERT_TRUE(card.WriteThrough(file, data));
        const std::string host = "note" + std::to_string(i) + ".txt";
        ASSERT_TRUE(card.IsCompressedOnCard(host));
        written[i] = *card.HostFile(host);
        EXPECT_EQ(card.Content(host), data);
        EXPECT_EQ(card.ReadThrough(file), data);
    }
    EXPECT_NE(written[0], written[1]);
    EXPECT_TRUE(card.StrayTempFiles().empty());
}

}  // namespace
}  // namespace quillane_test
