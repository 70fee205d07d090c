// Every next-layer call that an open or a close makes, failed in turn: the
// file under its name must hold its old content or its new one (decoded
// independently of the filter), no expansion or staging file may stay at the
// root unless it holds written data that exists nowhere else, no handle may
// leak and no call may use a handle whose open failed.
#include <gtest/gtest.h>

#include <map>

#include "filter/tests/card_fixture.h"
#include "platform/hook/fault_layer.h"

namespace quillane_test {
namespace {

using platform::FaultLayer;
using platform::FaultRule;
using platform::HookCall;
using platform::HookOperation;

const Bytes& OldPlain() {
    static const Bytes bytes = CompressibleBytes(300000, 11);
    return bytes;
}
const Bytes& NewPlain() {
    static const Bytes bytes = CompressibleBytes(270000, 12);
    return bytes;
}

// One scenario: a file on the card, a phase before the faults (the program's
// own work) and the phase whose next-layer calls are failed in turn.
struct Scenario {
    const char* what;
    bool compressed_before;
    bool write_new;  // the program writes NewPlain() over the file
};

const Scenario kScenarios[] = {
    {"compressed file opened and read", true, false},
    {"plain file rewritten and closed", false, true},
    {"compressed file rewritten and closed", true, true},
};

enum class Phase { kOpen, kClose };

struct Outcome {
    bool opened = false;
    Bytes read;  // what the program read at open, when it did not write
};

// Runs `scenario` on a fresh card; `arm` adds the fault rules at the start of
// `phase`. Checks the invariants and returns the recorded calls of the phase.
std::vector<HookCall> Run(const Scenario& scenario, Phase phase, const std::function<void(FaultLayer&)>& arm,
                          bool persistent) {
    TestRegistry registry;
    FaultLayer faults;
    Card card([&](const HookTable& fat) { return faults.Wrap(fat); });
    if (scenario.compressed_before) {
        card.PutHostFile("file.txt", Encode(OldPlain()));
    } else {
        card.PutHostFile("file.txt", OldPlain());
    }

    if (phase == Phase::kOpen) {
        faults.ClearCalls();
        arm(faults);
    }
    HANDLE file = card.Open(u"\\file.txt", GENERIC_READ | GENERIC_WRITE);
    std::vector<HookCall> calls;
    bool wrote = false;
    bool close_failed = false;
    if (file != INVALID_HANDLE_VALUE) {
        if (phase == Phase::kOpen) {
            calls = faults.Calls();
            faults.ClearRules();
        }
        if (scenario.write_new) {
            EXPECT_TRUE(SetEndOfFile(file));
            EXPECT_TRUE(card.Write(file, NewPlain()));
            wrote = true;
        } else {
            EXPECT_EQ(card.ReadAll(file), OldPlain()) << "an open never succeeds with less data than the file holds";
        }
        if (phase == Phase::kClose) {
            faults.ClearCalls();
            arm(faults);
        }
        // A close ends its record whatever it answers; one that fails says
        // that the written data may not be on the card.
        close_failed = !CloseFile(file);
        if (phase == Phase::kClose) calls = faults.Calls();
    } else if (phase == Phase::kOpen) {
        calls = faults.Calls();
    }
    faults.ClearRules();

    const auto content = card.Content("file.txt");
    const Bytes& expected_new = wrote ? NewPlain() : OldPlain();
    EXPECT_TRUE(content == OldPlain() || content == expected_new) << "file holds neither its old nor its new data";
    for (const auto& stray : card.StrayTempFiles()) {
        // Only a fault that never clears, or a close that failed, may leave a
        // temporary file, and then only one that holds the file's data (the
        // one place written data may still be, or a copy of what the file
        // holds anyway).
        const auto kept = card.Content(stray);
        EXPECT_TRUE((persistent || close_failed) && (kept == OldPlain() || kept == expected_new))
            << "left at the root: " << stray;
    }
    EXPECT_EQ(faults.OpenHandles(), 0u) << "a next-layer handle leaked";
    EXPECT_EQ(card.FatOpenHandles(), 0u);
    EXPECT_TRUE(faults.Violations().empty()) << "a call used a handle that never opened";
    return calls;
}

// The k-th call of its operation, for each call of a clean run.
std::vector<std::pair<HookOperation, unsigned>> Indexed(const std::vector<HookCall>& calls) {
    std::map<HookOperation, unsigned> seen;
    std::vector<std::pair<HookOperation, unsigned>> indexed;
    for (const auto& call : calls) indexed.emplace_back(call.operation, ++seen[call.operation]);
    return indexed;
}

void WalkEveryCall(Phase phase, bool persistent) {
    for (const auto& scenario : kScenarios) {
        const auto clean = Run(scenario, phase, [](FaultLayer&) {}, false);
        ASSERT_FALSE(clean.empty());
        for (const auto& [operation, nth] : Indexed(clean)) {
            SCOPED_TRACE(testing::Message() << scenario.what << (phase == Phase::kOpen ? ", open" : ", close")
                                            << ": failing call " << nth << " of "
                                            << platform::HookOperationName(operation)
                                            << (persistent ? " for good" : " once"));
            // A close ends its handle whatever it answers (as the host's
            // close(2) does), so a failed close is one that closed and then
            // reported an error.
            const bool is_close = operation == HookOperation::CloseFile || operation == HookOperation::FindClose;
            const bool for_good = persistent;
            Run(scenario, phase,
                [&](FaultLayer& faults) {
                    FaultRule rule;
                    rule.operation = operation;
                    rule.action = is_close ? FaultRule::Action::kCloseThenFail : FaultRule::Action::kFail;
                    rule.nth = nth;
                    rule.persistent = for_good;
                    rule.error = operation == HookOperation::WriteFile ? ERROR_DISK_FULL : ERROR_GEN_FAILURE;
                    faults.AddRule(rule);
                },
                for_good);
        }
    }
}

TEST(FaultMatrixTest, EveryCallOfAnOpenFailedOnce) { WalkEveryCall(Phase::kOpen, false); }
TEST(FaultMatrixTest, EveryCallOfAnOpenFailedForGood) { WalkEveryCall(Phase::kOpen, true); }
TEST(FaultMatrixTest, EveryCallOfACloseFailedOnce) { WalkEveryCall(Phase::kClose, false); }
TEST(FaultMatrixTest, EveryCallOfACloseFailedForGood) { WalkEveryCall(Phase::kClose, true); }

TEST(FaultMatrixTest, FullCardWhileExpandingFailsTheOpen) {
    TestRegistry registry;
    FaultLayer faults;
    Card card([&](const HookTable& fat) { return faults.Wrap(fat); });
    card.PutHostFile("big.txt", Encode(OldPlain()));
    const Bytes stored = *card.HostFile("big.txt");
    FaultRule full;
    full.action = FaultRule::Action::kDiskFull;
    full.byte_limit = 100000;
    full.persistent = true;
    full.error = ERROR_DISK_FULL;
    faults.AddRule(full);
    EXPECT_EQ(card.Open(u"\\big.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(card.HostFile("big.txt"), stored);
    EXPECT_TRUE(card.StrayTempFiles().empty());
    EXPECT_EQ(faults.OpenHandles(), 0u);
}

TEST(FaultMatrixTest, FullCardWhileRecompressingKeepsTheWrittenDataPlain) {
    TestRegistry registry;
    FaultLayer faults;
    Card card([&](const HookTable& fat) { return faults.Wrap(fat); });
    card.PutHostFile("big.txt", Encode(OldPlain()));
    HANDLE file = card.Open(u"\\big.txt", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetEndOfFile(file));
    ASSERT_TRUE(card.Write(file, NewPlain()));
    FaultRule full;
    full.action = FaultRule::Action::kDiskFull;
    full.byte_limit = 1000;
    full.persistent = true;
    full.error = ERROR_DISK_FULL;
    faults.AddRule(full);
    EXPECT_TRUE(CloseFile(file));
    EXPECT_EQ(card.HostFile("big.txt"), NewPlain()) << "the program's writes survive, uncompressed";
    EXPECT_TRUE(card.StrayTempFiles().empty());
    EXPECT_EQ(faults.OpenHandles(), 0u);
}

TEST(FaultMatrixTest, FailedNextLayerCloseEndsTheRecordAndKeepsTheFileAsItWas) {
    struct Case {
        const char* what;
        bool compressed_before;
        bool write_new;
    } cases[] = {
        {"plain file read", false, false},
        {"compressed file read", true, false},
        {"compressed file rewritten", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestRegistry registry;
        FaultLayer faults;
        Card card([&](const HookTable& fat) { return faults.Wrap(fat); });
        card.PutHostFile("x.txt", c.compressed_before ? Encode(OldPlain()) : OldPlain());
        const Bytes stored = *card.HostFile("x.txt");
        HANDLE file = card.Open(u"\\x.txt", GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        if (c.write_new) {
            ASSERT_TRUE(SetEndOfFile(file));
            ASSERT_TRUE(card.Write(file, NewPlain()));
        }
        faults.AddRule(FaultRule{.operation = HookOperation::CloseFile,
                                 .action = FaultRule::Action::kCloseThenFail,
                                 .persistent = true,
                                 .error = ERROR_GEN_FAILURE});
        faults.ClearCalls();
        EXPECT_FALSE(CloseFile(file));
        EXPECT_EQ(platform::GetLastError(), ERROR_GEN_FAILURE);
        EXPECT_EQ(faults.CallCount(HookOperation::CloseFile), 1u) << "the next layer's handle is closed once";
        EXPECT_EQ(card.HostFile("x.txt"), stored) << "nothing replaces a file after a close that failed";
        const auto strays = card.StrayTempFiles();
        if (c.write_new) {
            ASSERT_EQ(strays.size(), 1u) << "the written data stays in its expansion file";
            EXPECT_EQ(card.Content(strays[0]), NewPlain());
        } else {
            EXPECT_TRUE(strays.empty());
        }
        EXPECT_EQ(faults.OpenHandles(), 0u);
        EXPECT_EQ(card.FatOpenHandles(), 0u);
        EXPECT_TRUE(faults.Violations().empty());
    }
}

TEST(FaultMatrixTest, FailedSearchCloseEndsTheSearchRecord) {
    TestRegistry registry;
    FaultLayer faults;
    Card card([&](const HookTable& fat) { return faults.Wrap(fat); });
    card.PutHostFile("a.txt", TextBytes("a"));
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(card.volume(), nullptr, u"\\*", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    faults.AddRule(FaultRule{.operation = HookOperation::FindClose,
                             .action = FaultRule::Action::kCloseThenFail,
                             .error = ERROR_GEN_FAILURE});
    faults.ClearCalls();
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(platform::GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(faults.CallCount(HookOperation::FindClose), 1u);
    EXPECT_EQ(faults.OpenHandles(), 0u);
    EXPECT_TRUE(faults.Violations().empty());
}

}  // namespace
}  // namespace quillane_test
