// Tests of the fault-injecting layer over a small in-memory volume: every
// operation is forwarded and counted, each kind of rule fires as documented,
// live handles are counted and calls with any other handle are refused.
#include "platform/hook/fault_layer.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace platform {
namespace {

// A volume of named byte strings. Handles are small numbers; every call that
// reaches it is counted, so a test can tell a forwarded call from a refused one.
class FakeVolume {
public:
    FakeVolume() { current_ = this; }
    ~FakeVolume() { current_ = nullptr; }

    HookTable Table() {
        HookTable table{};
        table.leading = 0x5A5A;
        table.volume = this;
#define FAKE_DEFAULT_ENTRY(level, result, name, params, args) \
    table.name = &Default<HookOperation::name, Hook##name>::Call;
        QUILLANE_HOOK_OPERATIONS(FAKE_DEFAULT_ENTRY)
#undef FAKE_DEFAULT_ENTRY
        table.CreateFileW = &CreateFileW;
        table.FindFirstFileW = &FindFirstFileW;
        table.WriteFile = &WriteFile;
        table.CloseFile = &CloseFile;
        table.FindClose = &FindClose;
        table.DeleteFileW = &DeleteFileW;
        return table;
    }

    size_t Reached(HookOperation op) {
        std::lock_guard lock(mutex_);
        return reached_[op];
    }
    std::string Content(const std::u16string& name) {
        std::lock_guard lock(mutex_);
        return files_[name];
    }
    bool IsOpen(HANDLE h) {
        std::lock_guard lock(mutex_);
        return open_.count(h) != 0;
    }
    size_t OpenCount() {
        std::lock_guard lock(mutex_);
        return open_.size();
    }

private:
    static void Count(HookOperation op) {
        std::lock_guard lock(current_->mutex_);
        ++current_->reached_[op];
    }

    template <HookOperation Op, class Function>
    struct Default;
    template <HookOperation Op, class Result, class... A>
    struct Default<Op, Result (*)(HANDLE, A...)> {
        static Result Call(HANDLE, A...) {
            Count(Op);
            if constexpr (std::is_same_v<Result, BOOL>) return TRUE;
            else return Result{};
        }
    };

    HANDLE NewHandle(std::u16string name) {
        std::lock_guard lock(mutex_);
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1000 + next_++));
        open_[h] = std::move(name);
        return h;
    }

    static HANDLE CreateFileW(HANDLE, HANDLE, LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                              HANDLE) {
        Count(HookOperation::CreateFileW);
        const std::u16string n = name != nullptr ? name : u"\\";
        if (n == u"\\missing") {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return current_->NewHandle(n);
    }
    static HANDLE FindFirstFileW(HANDLE, HANDLE, LPCWSTR pattern, LPWIN32_FIND_DATAW) {
        Count(HookOperation::FindFirstFileW);
        return current_->NewHandle(pattern != nullptr ? pattern : u"\\*");
    }
    static BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
        Count(HookOperation::WriteFile);
        std::lock_guard lock(current_->mutex_);
        if (count > 0) current_->files_[current_->open_[h]].append(static_cast<const char*>(buffer), count);
        if (written != nullptr) *written = count;
        return TRUE;
    }
    static BOOL Close(HookOperation op, HANDLE h) {
        Count(op);
        std::lock_guard lock(current_->mutex_);
        return current_->open_.erase(h) == 1 ? TRUE : FALSE;
    }
    static BOOL CloseFile(HANDLE h) { return Close(HookOperation::CloseFile, h); }
    static BOOL FindClose(HANDLE h) { return Close(HookOperation::FindClose, h); }
    static BOOL DeleteFileW(HANDLE, LPCWSTR path) {
        Count(HookOperation::DeleteFileW);
        std::lock_guard lock(current_->mutex_);
        return current_->files_.erase(path != nullptr ? path : u"") == 1 ? TRUE : FALSE;
    }

    static inline FakeVolume* current_ = nullptr;
    std::mutex mutex_;
    std::map<HookOperation, size_t> reached_;
    std::map<std::u16string, std::string> files_;
    std::map<HANDLE, std::u16string> open_;
    int next_ = 0;
};

class FaultLayerTest : public ::testing::Test {
protected:
    HANDLE Open(LPCWSTR name) {
        return table_.CreateFileW(table_.volume, nullptr, name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    BOOL Write(HANDLE h, size_t count, DWORD* written) {
        const std::string data(count, 'x');
        return table_.WriteFile(h, data.data(), static_cast<DWORD>(count), written, nullptr);
    }

    FakeVolume fake_;
    FaultLayer layer_;
    HookTable table_ = layer_.Wrap(fake_.Table());
};

template <class Result, class... A>
Result CallWithDefaults(Result (*function)(HANDLE, A...), HANDLE h) {
    return function(h, A{}...);
}

TEST_F(FaultLayerTest, ForwardsEveryOperationOnceAndCountsIt) {
    EXPECT_EQ(table_.leading, 0x5A5Au);
    EXPECT_EQ(table_.volume, &fake_);
    HANDLE file = Open(u"\\a.txt");
    HANDLE search = table_.FindFirstFileW(table_.volume, nullptr, u"\\*", nullptr);
    layer_.ClearCalls();

    // In table order; the file and search opened above serve the handle
    // calls, and their closes come last in their groups.
#define CALL_EACH(level, result, name, params, args)                                           \
    CallWithDefaults(table_.name, HookLevel::level == HookLevel::Volume   ? table_.volume      \
                                  : HookLevel::level == HookLevel::Search ? search             \
                                                                          : file);
    QUILLANE_HOOK_OPERATIONS(CALL_EACH)
#undef CALL_EACH

    for (int i = 0; i < kHookOperationCount; ++i) {
        const auto op = static_cast<HookOperation>(i);
        EXPECT_EQ(layer_.CallCount(op), 1u) << HookOperationName(op);
        EXPECT_EQ(fake_.Reached(op), op == HookOperation::CreateFileW || op == HookOperation::FindFirstFileW ? 2u : 1u)
            << HookOperationName(op);
    }
    EXPECT_TRUE(layer_.Violations().empty());
    // The two opened inside the loop are still open.
    EXPECT_EQ(layer_.OpenHandles(), 2u);
    EXPECT_EQ(layer_.Calls().size(), static_cast<size_t>(kHookOperationCount));
}

TEST_F(FaultLayerTest, FailsTheNthCallTransientlyOrPersistently) {
    struct Case {
        bool persistent;
        std::vector<bool> expect_success;
    } cases[] = {
        {false, {true, false, true, true}},
        {true, {true, false, false, false}},
    };
    for (const Case& c : cases) {
        FakeVolume fake;
        FaultLayer layer;
        HookTable table = layer.Wrap(fake.Table());
        layer.AddRule(FaultRule{.operation = HookOperation::CreateFileW, .nth = 2, .persistent = c.persistent,
                                .error = ERROR_SHARING_VIOLATION});
        size_t reached = 0;
        for (size_t i = 0; i < c.expect_success.size(); ++i) {
            SetLastError(ERROR_SUCCESS);
            HANDLE h = table.CreateFileW(table.volume, nullptr, u"\\a.txt", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0,
                                         nullptr);
            if (c.expect_success[i]) {
                ++reached;
                EXPECT_NE(h, INVALID_HANDLE_VALUE) << "call " << i + 1;
                table.CloseFile(h);
            } else {
                EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "call " << i + 1;
                EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            }
        }
        EXPECT_EQ(fake.Reached(HookOperation::CreateFileW), reached) << "persistent " << c.persistent;
        EXPECT_EQ(layer.OpenHandles(), 0u);
        EXPECT_EQ(layer.InjectedFaults(), c.expect_success.size() - reached);
    }
}

TEST_F(FaultLayerTest, FailsPathCallsOnMatchingNames) {
    struct Case {
        HookOperation operation;
        std::u16string pattern;
        LPCWSTR first;
        LPCWSTR second;  // null for one-path operations
        bool expect_fault;
    } cases[] = {
        {HookOperation::CreateFileW, u"*.TMP", u"\\v1234.tmp", nullptr, true},
        {HookOperation::CreateFileW, u"*.TMP", u"\\notes.txt", nullptr, false},
        {HookOperation::GetFileAttributesW, u"\\?1234.TMP", u"\\y1234.TMP", nullptr, true},
        {HookOperation::GetFileAttributesW, u"\\?1234.TMP", u"\\yy1234.TMP", nullptr, false},
        {HookOperation::DeleteFileW, u"*", u"\\notes.txt", nullptr, true},
        {HookOperation::MoveFileW, u"*notes*", u"\\y0001.TMP", u"\\Notes.txt", true},
        {HookOperation::MoveFileW, u"*notes*", u"\\y0001.TMP", u"\\other.txt", false},
        {HookOperation::DeleteAndRenameFileW, u"\\y*", u"\\notes.txt", u"\\y0001.TMP", true},
        {HookOperation::RemoveDirectoryW, u"\\dir", u"\\DIR", nullptr, true},
    };
    for (const Case& c : cases) {
        FakeVolume fake;
        FaultLayer layer;
        HookTable table = layer.Wrap(fake.Table());
        layer.AddRule(FaultRule{.operation = c.operation, .name_pattern = c.pattern, .error = ERROR_ACCESS_DENIED});
        SetLastError(ERROR_SUCCESS);
        bool failed = false;
        switch (c.operation) {
            case HookOperation::CreateFileW: {
                HANDLE h = table.CreateFileW(table.volume, nullptr, c.first, 0, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
                failed = h == INVALID_HANDLE_VALUE;
                if (!failed) table.CloseFile(h);
                break;
            }
            case HookOperation::GetFileAttributesW:
                failed = table.GetFileAttributesW(table.volume, c.first) == INVALID_FILE_ATTRIBUTES;
                break;
            case HookOperation::DeleteFileW:
                failed = table.DeleteFileW(table.volume, c.first) == FALSE;
                break;
            case HookOperation::MoveFileW:
                failed = table.MoveFileW(table.volume, c.first, c.second) == FALSE;
                break;
            case HookOperation::DeleteAndRenameFileW:
                failed = table.DeleteAndRenameFileW(table.volume, c.first, c.second) == FALSE;
                break;
            case HookOperation::RemoveDirectoryW:
                failed = table.RemoveDirectoryW(table.volume, c.first) == FALSE;
                break;
            default:
                FAIL();
        }
        const std::string label = std::string(HookOperationName(c.operation)) + " " +
                                  std::string(c.pattern.begin(), c.pattern.end());
        EXPECT_EQ(failed && GetLastError() == ERROR_ACCESS_DENIED, c.expect_fault) << label;
        EXPECT_EQ(fake.Reached(c.operation), c.expect_fault ? 0u : 1u) << label;
        ASSERT_EQ(layer.Calls().size(), c.expect_fault || c.operation != HookOperation::CreateFileW ? 1u : 2u);
        const HookCall call = layer.Calls().front();
        EXPECT_EQ(call.name, c.first);
        EXPECT_EQ(call.second_name, c.second != nullptr ? c.second : u"");
        EXPECT_EQ(call.injected, c.expect_fault);
    }
}

TEST_F(FaultLayerTest, FileCallsMatchTheNameTheHandleWasOpenedUnder) {
    layer_.AddRule(FaultRule{.operation = HookOperation::WriteFile, .name_pattern = u"\\y*.TMP",
                             .persistent = true, .error = ERROR_WRITE_FAULT});
    HANDLE staging = Open(u"\\y00A1.TMP");
    HANDLE plain = Open(u"\\notes.txt");
    DWORD written = 99;
    EXPECT_FALSE(Write(staging, 5, &written));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(plain, 5, &written));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(fake_.Content(u"\\y00A1.TMP"), "");
    EXPECT_EQ(fake_.Content(u"\\notes.txt"), "xxxxx");
    EXPECT_EQ(layer_.Calls()[2].name, u"\\y00A1.TMP");
}

TEST_F(FaultLayerTest, DiskFullWritesShortThenFails) {
    struct Case {
        bool persistent;
        std::vector<std::pair<BOOL, DWORD>> expect;  // per write of 6 bytes: result, count written
        size_t stored;
    } cases[] = {
        {true, {{TRUE, 6}, {TRUE, 4}, {FALSE, 0}, {FALSE, 0}}, 10},
        {false, {{TRUE, 6}, {TRUE, 4}, {FALSE, 0}, {TRUE, 6}}, 16},
    };
    for (const Case& c : cases) {
        FakeVolume fake;
        FaultLayer layer;
        HookTable table = layer.Wrap(fake.Table());
        layer.AddRule(FaultRule{.action = FaultRule::Action::kDiskFull, .persistent = c.persistent,
                                .error = ERROR_DISK_FULL, .byte_limit = 10});
        HANDLE h = table.CreateFileW(table.volume, nullptr, u"\\big.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                     nullptr);
        const std::string data(6, 'd');
        for (size_t i = 0; i < c.expect.size(); ++i) {
            DWORD written = 99;
            SetLastError(ERROR_SUCCESS);
            const BOOL ok = table.WriteFile(h, data.data(), 6, &written, nullptr);
            EXPECT_EQ(ok, c.expect[i].first) << "write " << i + 1;
            EXPECT_EQ(written, c.expect[i].second) << "write " << i + 1;
            if (!ok) {
                EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
            }
        }
        EXPECT_EQ(fake.Content(u"\\big.bin").size(), c.stored);
        EXPECT_TRUE(table.CloseFile(h));
    }
}

TEST_F(FaultLayerTest, CloseFailingWithoutClosingKeepsTheHandleLive) {
    layer_.AddRule(FaultRule{.operation = HookOperation::CloseFile, .error = ERROR_WRITE_FAULT});
    HANDLE h = Open(u"\\a.txt");
    EXPECT_FALSE(table_.CloseFile(h));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_TRUE(fake_.IsOpen(h));
    EXPECT_EQ(layer_.OpenHandles(), 1u);
    EXPECT_TRUE(table_.CloseFile(h));
    EXPECT_EQ(layer_.OpenHandles(), 0u);
    EXPECT_TRUE(layer_.Violations().empty());
}

TEST_F(FaultLayerTest, CloseFailingAfterClosingReleasesTheHandle) {
    struct Case {
        HookOperation operation;
    } cases[] = {{HookOperation::CloseFile}, {HookOperation::FindClose}};
    for (const Case& c : cases) {
        FakeVolume fake;
        FaultLayer layer;
        HookTable table = layer.Wrap(fake.Table());
        layer.AddRule(FaultRule{.operation = c.operation, .action = FaultRule::Action::kCloseThenFail,
                                .error = ERROR_GEN_FAILURE});
        const bool file = c.operation == HookOperation::CloseFile;
        HANDLE h = file ? table.CreateFileW(table.volume, nullptr, u"\\a", 0, 0, nullptr, OPEN_ALWAYS, 0, nullptr)
                        : table.FindFirstFileW(table.volume, nullptr, u"\\*", nullptr);
        auto close = [&] { return file ? table.CloseFile(h) : table.FindClose(h); };
        EXPECT_FALSE(close());
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
        EXPECT_FALSE(fake.IsOpen(h));
        EXPECT_EQ(layer.OpenHandles(), 0u);
        // Closing again is a call with a handle that is no longer live.
        EXPECT_FALSE(close());
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(layer.Violations().size(), 1u);
        EXPECT_EQ(fake.Reached(c.operation), 1u);
    }
}

TEST_F(FaultLayerTest, RefusesCallsWithHandlesItDidNotHandOut) {
    HANDLE file = Open(u"\\a.txt");
    HANDLE search = table_.FindFirstFileW(table_.volume, nullptr, u"\\*", nullptr);
    HANDLE closed = Open(u"\\b.txt");
    ASSERT_TRUE(table_.CloseFile(closed));
    HANDLE failed = Open(u"\\missing");
    ASSERT_EQ(failed, INVALID_HANDLE_VALUE);
    EXPECT_EQ(layer_.OpenHandles(), 2u);

    char buffer[4];
    DWORD count = 0;
    struct Case {
        const char* what;
        std::function<DWORD_PTR()> call;
    } cases[] = {
        {"read on the handle of a failed open", [&] { return table_.ReadFile(failed, buffer, 4, &count, nullptr); }},
        {"read on a closed handle", [&] { return table_.ReadFile(closed, buffer, 4, &count, nullptr); }},
        {"read on a search handle", [&] { return table_.ReadFile(search, buffer, 4, &count, nullptr); }},
        {"next file on a file handle", [&] { return table_.FindNextFileW(file, nullptr); }},
        {"null handle", [&] { return table_.GetFileSize(nullptr, nullptr) != 0xFFFFFFFFu ? 1 : 0; }},
        {"another volume", [&] { return table_.DeleteFileW(&count, u"\\a.txt"); }},
    };
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(c.call(), 0u) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << c.what;
    }
    EXPECT_EQ(layer_.Violations().size(), std::size(cases));
    EXPECT_EQ(fake_.Reached(HookOperation::ReadFile), 0u);
    EXPECT_EQ(fake_.Reached(HookOperation::FindNextFileW), 0u);
    EXPECT_EQ(fake_.Reached(HookOperation::GetFileSize), 0u);
    EXPECT_EQ(fake_.Reached(HookOperation::DeleteFileW), 0u);
    EXPECT_EQ(layer_.Violations()[0].handle, INVALID_HANDLE_VALUE);
}

TEST_F(FaultLayerTest, HandlesBelongToTheTableTheyWereOpenedThrough) {
    FakeVolume other;
    HookTable second = layer_.Wrap(other.Table());
    HANDLE h = Open(u"\\a.txt");
    EXPECT_FALSE(second.CloseFile(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(layer_.Violations().size(), 1u);
    EXPECT_TRUE(table_.CloseFile(h));
}

TEST_F(FaultLayerTest, CountsHandlesFromManyThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::u16string name = u"\\t" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int i = 0; i < kRounds; ++i) {
                HANDLE h = Open(name.c_str());
                DWORD written = 0;
                Write(h, 1, &written);
                table_.CloseFile(h);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(layer_.OpenHandles(), 0u);
    EXPECT_TRUE(layer_.Violations().empty());
    EXPECT_EQ(layer_.CallCount(HookOperation::WriteFile), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(fake_.Content(u"\\t0").size(), static_cast<size_t>(kRounds));
}

TEST(FaultLayerSlots, DestroyedLayersFreeTheirTables) {
    FakeVolume fake;
    for (int i = 0; i < 3 * kHookShimSlots; ++i) {
        FaultLayer layer;
        HookTable table = layer.Wrap(fake.Table());
        EXPECT_NE(table.GetFileAttributesW(table.volume, u"\\x"), INVALID_FILE_ATTRIBUTES);
    }
}

}  // namespace
}  // namespace platform
