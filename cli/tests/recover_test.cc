// recover on card folders on the real disk: each kind of leftover an
// interrupted open or close can leave at the root, staged with the codec and
// the FAT layer's own time stamps beside files the real filter wrote, and
// one left by a real open that never closed. Checks what the report says of
// each, that without --apply nothing changes, that --apply removes only what
// the card holds elsewhere and keeps everything else byte for byte under
// recovered/, and that names which are not the filter's are never touched.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/card_leftovers.h"
#include "cli/card_session.h"
#include "cli/tests/cli_test_support.h"
#include "filter/codec/codec.h"
#include "platform/fat/metadata.h"
#include "platform/fat/unique_fd.h"
#include "platform/storage/file_api.h"

namespace quillane::cli::test {
namespace {

BOOL ReadString(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* source = static_cast<std::pair<const std::string*, size_t>*>(context);
    const size_t n = std::min<size_t>(count, source->first->size() - source->second);
    std::memcpy(buffer, source->first->data() + source->second, n);
    source->second += n;
    *delivered = static_cast<DWORD>(n);
    return TRUE;
}

BOOL AppendString(void* context, const void* buffer, DWORD count) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(buffer), count);
    return TRUE;
}

// The compressed form of `plain`, as a close writes it.
std::string Encode(const std::string& plain) {
    std::pair<const std::string*, size_t> from{&plain, 0};
    std::string encoded;
    const CodecSource source{&from, ReadString};
    const CodecSink sink{&encoded, AppendString};
    EXPECT_EQ(CodecEncode(&source, &sink), kCodecCompleted);
    return encoded;
}

std::string Decode(const std::string& stored) {
    if (stored.size() < 4 || !CodecIsSignature(reinterpret_cast<const BYTE*>(stored.data()), 4)) return stored;
    std::pair<const std::string*, size_t> from{&stored, 4};
    std::string plain;
    const CodecSource source{&from, ReadString};
    const CodecSink sink{&plain, AppendString};
    EXPECT_EQ(CodecDecode(&source, &sink), kCodecCompleted);
    return plain;
}

// The same text with the first byte of every `every`-th line changed: a
// program's edits in place.
std::string Edited(std::string text, size_t every) {
    size_t line = 0;
    for (size_t at = 0; at < text.size(); ++line) {
        if (line % every == 0) text[at] = '#';
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return text;
}

class RecoverTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        std::filesystem::create_directories(Card());
    }

    std::string Card() const { return Path("card"); }
    std::string OnCard(const std::string& relative) const { return "card/" + relative; }

    // Files written by programs through the real filter: each is stored
    // compressed at its close, with the times the FAT layer gives it.
    void WriteThroughFilter(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string error;
        bool installed = false;
        const std::unique_ptr<CardSession> session = CardSession::Open(Card(), &error, &installed);
        ASSERT_NE(session, nullptr) << error;
        for (const auto& [relative, content] : files) {
            std::u16string path = session->Root();
            for (const char c : "/" + relative) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
            for (size_t slash = path.find(u'\\', session->Root().size() + 1); slash != std::u16string::npos;
                 slash = path.find(u'\\', slash + 1)) {
                platform::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
            }
            HANDLE file = platform::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE) << relative;
            DWORD written = 0;
            ASSERT_TRUE(platform::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written,
                                            nullptr));
            ASSERT_TRUE(platform::CloseHandle(file));
        }
    }

    FILETIME Created(const std::string& relative) const {
        platform::fat::UniqueFd fd(::open(Path(relative).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        EXPECT_EQ(::fstat(fd.Get(), &status), 0) << relative;
        platform::fat::AttributeStore store;  // what the card keeps, as recover reads it
        store.SetKind(platform::fat::StoreKindFor(fd.Get()));
        return platform::fat::ReadTimes(store, fd.Get(), status).creation;
    }
    void SetCreated(const std::string& relative, const FILETIME& creation) const {
        platform::fat::UniqueFd fd(::open(Path(relative).c_str(), O_RDWR | O_CLOEXEC));
        platform::fat::AttributeStore store;
        store.SetKind(platform::fat::StoreKindFor(fd.Get()));
        ASSERT_EQ(platform::fat::WriteTimes(store, fd.Get(), &creation, nullptr, nullptr), ERROR_SUCCESS) << relative;
    }
    // A leftover as the filter makes it: written, then given its file's
    // creation time.
    void Leftover(const std::string& name, const std::string& content, const std::string& owner = {}) {
        WriteFile(OnCard(name), content);
        if (!owner.empty()) SetCreated(OnCard(name), Created(OnCard(owner)));
    }

    // Every file of the card with its bytes.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(Card())) {
            if (!entry.is_regular_file()) continue;
            files[std::filesystem::relative(entry.path(), Card()).string()] =
                ReadFile(OnCard(std::filesystem::relative(entry.path(), Card()).string()));
        }
        return files;
    }

    // The report's block about one leftover: from its name to the next blank
    // or name line.
    static std::string Block(const std::string& out, const std::string& name) {
        const size_t at = out.find("\n" + name + "  ");
        if (at == std::string::npos) return "(no block for " + name + ")";
        size_t end = at + 1;
        for (;;) {
            end = out.find('\n', end);
            if (end == std::string::npos || end + 1 >= out.size() || out[end + 1] != ' ') break;
            ++end;
        }
        return out.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    }
};

TEST(LeftoverNames, OnlyThePrefixFourHexDigitsAndTmpInAnyCase) {
    const struct {
        const char* name;
        std::optional<LeftoverKind> kind;
    } cases[] = {
        {"v1A2B.TMP", LeftoverKind::kExpansion}, {"V00ff.tmp", LeftoverKind::kExpansion},
        {"y0000.TMP", LeftoverKind::kStaging},   {"YABCD.Tmp", LeftoverKind::kStaging},
        {"v12.TMP", std::nullopt},               {"vXYZW.TMP", std::nullopt},
        {"v12345.TMP", std::nullopt},            {"x1234.TMP", std::nullopt},
        {"v1234.TXT", std::nullopt},             {"v1234.TMPX", std::nullopt},
        {"v1234TMP", std::nullopt},              {"v 123.TMP", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(LeftoverKindOf(c.name), c.kind) << c.name;
}

TEST_F(RecoverTest, ACardWithoutLeftoversHasNothingToDo) {
    WriteThroughFilter({{"notes.txt", TextOfSize(1000)}});
    for (const char* apply : {"", "--apply"}) {
        std::vector<std::string> arguments{"recover"};
        if (*apply) arguments.push_back(apply);
        arguments.push_back(Card());
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(Holds(result.out, "No leftovers at the root of")) << result.out;
        EXPECT_EQ(result.err, "");
    }
    EXPECT_FALSE(Exists("card/recovered"));
}

TEST_F(RecoverTest, TellsEachKindOfLeftoverAndApplyKeepsWhatMayBeTheOnlyCopy) {
    const std::string report = TextOfSize(300000);
    const std::string letter = "Dear reader,\n" + TextOfSize(200000) + "Yours sincerely\n";
    const std::string notes = TextOfSize(5000);
    const std::string big = RandomOfSize(3 * kCodecBlockSize + 777, 3);
    WriteThroughFilter({{"report.txt", report}, {"docs/letter.txt", letter}, {"notes.txt", notes}, {"big.log", big}});

    const std::string unsaved_report = Edited(report, 7);
    const std::string unsaved_letter = letter + "P.S. one more line\n";
    const std::string stranger = RandomOfSize(40000, 5);
    const std::string whole_unknown = RandomOfSize(77777, 8);
    const std::string encoded_big = Encode(big);
    Leftover("y0A01.TMP", Encode(notes), "notes.txt");                          // intact staging
    Leftover("y0A02.TMP", encoded_big.substr(0, encoded_big.size() / 2));      // damaged (cut mid-block)
    Leftover("y0A03.TMP", Encode(big.substr(0, 2 * kCodecBlockSize)), "big.log");  // cut after whole blocks
    Leftover("v0B01.TMP", report, "report.txt");                                // an open that wrote nothing
    Leftover("v0B02.TMP", unsaved_report, "report.txt");                        // unsaved writes
    Leftover("v0B03.TMP", unsaved_letter, "docs/letter.txt");                   // unsaved writes, in a folder
    Leftover("v0B04.TMP", stranger);                                            // owner unknown
    Leftover("v0B07.TMP", report.substr(0, 100000), "report.txt");  // an open cut short while expanding
    Leftover("y0A04.TMP", Encode(whole_unknown));                               // whole, held nowhere
    Leftover("y0A05.TMP", Encode(unsaved_report));  // encoded from v0B02, not yet in place nor timed
    Leftover("V0b05.tmp", "");                                    // empty expansion, lower case
    Leftover("y0A06.TMP", "");                                    // a close that wrote nothing yet
    // Not the filter's names: never touched, never reported.
    for (const char* name : {"v12.TMP", "vXYZW.TMP", "y12345.TMP", "v0B06.TXT", "x0B07.TMP"}) {
        WriteFile(OnCard(name), "somebody's own file " + std::string(name));
    }
    std::filesystem::create_directories(Card() + "/v0B08.TMP");
    WriteFile(OnCard("docs/v0B09.TMP"), "not at the root");

    const std::map<std::string, std::string> before = Snapshot();
    const RunResult dry = Run({"recover", Card()});
    ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(Snapshot(), before) << "a report alone must change nothing";
    const std::string& out = dry.out;

    EXPECT_TRUE(Holds(Block(out, "y0A01.TMP"), "staging file")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A01.TMP"), "same content as notes.txt")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A01.TMP"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A02.TMP"), "damaged or cut short")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A02.TMP"), "still holds its old or its new content")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A02.TMP"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A03.TMP"), "holds only the first 262144 bytes (256.0 KiB) of big.log")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A03.TMP"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B01.TMP"), "expansion file")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B01.TMP"), "same content as report.txt")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B01.TMP"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B02.TMP"), "belonged to report.txt (same creation time")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B02.TMP"), "may hold a program's unsaved writes")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B02.TMP"), "-> keep as recovered/report.txt.v0B02.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B03.TMP"), "-> keep as recovered/docs/letter.txt.v0B03.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B04.TMP"), "owner unknown")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B04.TMP"), "-> keep as recovered/v0B04.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B07.TMP"), "it is the first 100000 bytes (97.7 KiB) of report.txt")) << out;
    EXPECT_TRUE(Holds(Block(out, "v0B07.TMP"), "-> keep as recovered/report.txt.v0B07.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A04.TMP"), "no file on the card holds")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A04.TMP"), "-> keep as recovered/y0A04.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A05.TMP"), "same content as the expansion file v0B02.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A05.TMP"), "belonged to report.txt (encoded from v0B02.TMP")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A05.TMP"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "V0b05.tmp"), "empty: it holds no data")) << out;
    EXPECT_TRUE(Holds(Block(out, "V0b05.tmp"), "-> can go")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A06.TMP"), "empty")) << out;
    EXPECT_TRUE(Holds(Block(out, "y0A06.TMP"), "-> can go")) << out;
    for (const char* name : {"v12.TMP", "vXYZW.TMP", "y12345.TMP", "v0B06.TXT", "x0B07.TMP", "v0B08.TMP",
                             "v0B09.TMP"}) {
        EXPECT_FALSE(Holds(out, name)) << name << " is not a leftover:\n" << out;
    }
    EXPECT_TRUE(Holds(out, "7 can go, 5 to keep under recovered/, 0 left alone. Nothing was changed")) << out;

    const RunResult applied = Run({"recover", "--apply", Card()});
    ASSERT_EQ(applied.status, 0) << applied.out << applied.err;
    EXPECT_TRUE(Holds(Block(applied.out, "y0A01.TMP"), "-> removed")) << applied.out;
    EXPECT_TRUE(Holds(Block(applied.out, "v0B02.TMP"), "-> kept as recovered/report.txt.v0B02.TMP"))
        << applied.out;
    EXPECT_TRUE(Holds(applied.out, "Removed 7, kept 5 under recovered/, left 0 at the root.")) << applied.out;

    std::map<std::string, std::string> expected = before;
    for (const char* gone : {"y0A01.TMP", "y0A02.TMP", "y0A03.TMP", "v0B01.TMP", "y0A05.TMP", "V0b05.tmp",
                             "y0A06.TMP"}) {
        expected.erase(gone);
    }
    const std::pair<const char*, const char*> moves[] = {{"v0B02.TMP", "recovered/report.txt.v0B02.TMP"},
                                                         {"v0B03.TMP", "recovered/docs/letter.txt.v0B03.TMP"},
                                                         {"v0B04.TMP", "recovered/v0B04.TMP"},
                                                         {"v0B07.TMP", "recovered/report.txt.v0B07.TMP"},
                                                         {"y0A04.TMP", "recovered/y0A04.TMP"}};
    for (const auto& [from, to] : moves) {
        expected[to] = expected[from];
        expected.erase(from);
    }
    EXPECT_EQ(Snapshot(), expected);
    // Nothing lost: every leftover's data is still on the card.
    EXPECT_EQ(ReadFile(OnCard("recovered/report.txt.v0B02.TMP")), unsaved_report);
    EXPECT_EQ(ReadFile(OnCard("recovered/docs/letter.txt.v0B03.TMP")), unsaved_letter);
    EXPECT_EQ(ReadFile(OnCard("recovered/v0B04.TMP")), stranger);
    EXPECT_EQ(Decode(ReadFile(OnCard("recovered/y0A04.TMP"))), whole_unknown);
    EXPECT_EQ(Decode(ReadFile(OnCard("notes.txt"))), notes);
    EXPECT_EQ(Decode(ReadFile(OnCard("report.txt"))), report);
    EXPECT_EQ(Decode(ReadFile(OnCard("big.log"))), big);

    // Done once, there is nothing left to do.
    const RunResult again = Run({"recover", "--apply", Card()});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(Holds(again.out, "No leftovers")) << again.out;
}

TEST_F(RecoverTest, AnExpansionFileWhoseCreationTimeMatchesNoFileIsNamedByItsContent) {
    const std::string report = TextOfSize(400000);
    WriteThroughFilter({{"report.txt", report}, {"other.txt", RandomOfSize(100000, 9)}});
    Leftover("v0C01.TMP", Edited(report, 9));  // a host that could not keep the creation time
    const RunResult result = Run({"recover", Card()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Holds(Block(result.out, "v0C01.TMP"), "belonged to report.txt (")) << result.out;
    EXPECT_TRUE(Holds(Block(result.out, "v0C01.TMP"), "alike; no file has its creation time")) << result.out;
    EXPECT_TRUE(Holds(Block(result.out, "v0C01.TMP"), "-> keep as recovered/report.txt.v0C01.TMP")) << result.out;
}

TEST_F(RecoverTest, AKeptLeftoverNeverReplacesAFileUnderRecovered) {
    const std::string report = TextOfSize(100000);
    WriteThroughFilter({{"report.txt", report}});
    WriteFile(OnCard("Recovered/report.txt.v0D01.TMP"), "kept by an earlier run");
    Leftover("v0D01.TMP", Edited(report, 3), "report.txt");
    const RunResult dry = Run({"recover", Card()});
    ASSERT_EQ(dry.status, 0) << dry.err;
    // The card ignores case: the folder that is there is used as it is spelled.
    EXPECT_TRUE(Holds(Block(dry.out, "v0D01.TMP"), "-> keep as Recovered/report.txt.v0D01-2.TMP")) << dry.out;
    const RunResult applied = Run({"recover", "--apply", Card()});
    ASSERT_EQ(applied.status, 0) << applied.out << applied.err;
    EXPECT_EQ(ReadFile(OnCard("Recovered/report.txt.v0D01.TMP")), "kept by an earlier run");
    EXPECT_EQ(ReadFile(OnCard("Recovered/report.txt.v0D01-2.TMP")), Edited(report, 3));
    EXPECT_FALSE(Exists("card/recovered"));
    EXPECT_FALSE(Exists("card/v0D01.TMP"));
}

TEST_F(RecoverTest, AFileNamedRecoveredStopsTheMoveAndLosesNothing) {
    WriteThroughFilter({{"report.txt", TextOfSize(100000)}});
    WriteFile(OnCard("recovered"), "a file, not a folder");
    Leftover("v0E01.TMP", "unsaved " + TextOfSize(1000), "report.txt");
    Leftover("v0E02.TMP", "");
    const RunResult applied = Run({"recover", "--apply", Card()});
    EXPECT_EQ(applied.status, 1) << applied.out;
    EXPECT_TRUE(Holds(Block(applied.out, "v0E01.TMP"), "-> NOT moved, still at the root")) << applied.out;
    EXPECT_TRUE(Holds(applied.err, "1 leftovers could not be dealt with")) << applied.err;
    EXPECT_EQ(ReadFile(OnCard("v0E01.TMP")), "unsaved " + TextOfSize(1000));
    EXPECT_EQ(ReadFile(OnCard("recovered")), "a file, not a folder");
    EXPECT_FALSE(Exists("card/v0E02.TMP"));  // what can go still goes
}

TEST_F(RecoverTest, AStagingFileThatIsNotInTheCompressedFormatIsKept) {
    WriteThroughFilter({{"notes.txt", TextOfSize(1000)}});
    Leftover("y0F01.TMP", "plain text that no close writes");
    const RunResult applied = Run({"recover", "--apply", Card()});
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(Holds(Block(applied.out, "y0F01.TMP"), "not in the compressed format")) << applied.out;
    EXPECT_EQ(ReadFile(OnCard("recovered/y0F01.TMP")), "plain text that no close writes");
}

TEST_F(RecoverTest, AnUnreadableLeftoverIsLeftWhereItIsWithExitOne) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: a file without read permission is still readable";
    WriteThroughFilter({{"notes.txt", TextOfSize(1000)}});
    Leftover("v1001.TMP", "data");
    std::filesystem::permissions(Path("card/v1001.TMP"), std::filesystem::perms::none);
    const RunResult applied = Run({"recover", "--apply", Card()});
    EXPECT_EQ(applied.status, 1);
    EXPECT_TRUE(Holds(Block(applied.out, "v1001.TMP"), "cannot be read")) << applied.out;
    EXPECT_TRUE(Exists("card/v1001.TMP"));
}

// A program that opened a compressed file through the filter, wrote, and
// died before closing it: the real expansion file, with the times the filter
// gave it.
TEST_F(RecoverTest, AnOpenThatNeverClosedLeavesWritesThatAreKeptUnderTheFilesName) {
    const std::string report = TextOfSize(250000);
    WriteThroughFilter({{"docs/report.txt", report}, {"other.txt", TextOfSize(250000)}});
    const std::string added = "written, never closed\n";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        bool installed = false;
        std::unique_ptr<CardSession> session = CardSession::Open(Card(), &error, &installed);
        if (session == nullptr) ::_exit(10);
        HANDLE file = platform::CreateFileW(u"\\Storage Card\\docs\\report.txt", GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) ::_exit(11);
        DWORD written = 0;
        if (!platform::WriteFile(file, added.data(), static_cast<DWORD>(added.size()), &written, nullptr)) ::_exit(12);
        (void)session.release();  // dies with the handle open, as a program that crashed
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::string expansion;
    for (const std::string& name : List("card")) {
        if (LeftoverKindOf(name) == LeftoverKind::kExpansion) expansion = name;
    }
    ASSERT_FALSE(expansion.empty()) << "the open left no expansion file";
    const std::string unsaved = added + report.substr(added.size());
    ASSERT_EQ(ReadFile(OnCard(expansion)), unsaved);

    const RunResult applied = Run({"recover", "--apply", Card()});
    ASSERT_EQ(applied.status, 0) << applied.out << applied.err;
    EXPECT_TRUE(Holds(Block(applied.out, expansion), "belonged to docs/report.txt (same creation time"))
        << applied.out;
    EXPECT_EQ(ReadFile(OnCard("recovered/docs/report.txt." + expansion)), unsaved);
    EXPECT_EQ(Decode(ReadFile(OnCard("docs/report.txt"))), report);  // the file itself holds its old content
}

TEST_F(RecoverTest, ACardThatAMountServesIsRefused) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is missing: no mount to refuse";
    std::filesystem::create_directories(Path("view"));
    Leftover("v2001.TMP", "in use by the mount");
    const RunResult mount = Run({"mount", Card(), Path("view")});
    if (mount.status != 0) GTEST_SKIP() << "no FUSE mount here: " << mount.err;
    const RunResult result = Run({"recover", "--apply", Card()});
    if (std::system(("fusermount3 -u " + Path("view") + " || fusermount3 -u -z " + Path("view")).c_str()) != 0) {
        ADD_FAILURE() << "could not unmount " << Path("view");
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "is already served by `quillane mount ")) << result.err;
    EXPECT_EQ(ReadFile(OnCard("v2001.TMP")), "in use by the mount");
}

TEST_F(RecoverTest, AMissingCardOrAFileIsAnError) {
    const RunResult missing = Run({"recover", Path("nowhere")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Holds(missing.err, "nowhere: No such file or directory")) << missing.err;
    WriteFile("plain", "x");
    const RunResult file = Run({"recover", Path("plain")});
    EXPECT_EQ(file.status, 1);
    EXPECT_TRUE(Holds(file.err, "is not a folder")) << file.err;
}

}  // namespace
}  // namespace quillane::cli::test
