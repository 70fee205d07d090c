// The fault-injecting layer: a hook table that wraps another, passes every
// call on, and fails chosen calls by rule, so that tests of the filter and of
// the storage manager can walk every failure path of a scenario (fail call 1,
// run, check; fail call 2, run, check; ...) and then prove that no handle
// leaked and that nothing was called with a handle that never opened.
//
// It records every call it sees and keeps the set of live handles it passed
// up (successful CreateFileW / FindFirstFileW not yet closed). A call with
// any other handle is a violation: recorded, not passed on, failed with
// ERROR_INVALID_HANDLE. All members are thread safe; no lock is held while a
// call runs in the layer below.
//
// Test infrastructure, not part of any card's normal stack.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "platform/core/last_error.h"
#include "platform/hook/hook_operation.h"
#include "platform/hook/hook_shim.h"

namespace platform {

struct FaultRule {
    enum class Action {
        // The call is not passed on: it returns the operation's failure
        // result with `error` as the last error. On CloseFile / FindClose the
        // handle therefore stays open, which no layer of the platform does
        // (a close ends its handle whatever it answers): that is kCloseThenFail.
        kFail,
        // CloseFile / FindClose only: the close is passed on (the handle is
        // closed below and no longer live), then reported as failed with
        // `error`, as the host's close(2) does.
        kCloseThenFail,
        // WriteFile and WriteFileWithSeek alike (one budget, as on a real
        // card; `operation` is not consulted): the first `byte_limit` bytes
        // pass; the write that crosses the limit is passed on shortened and
        // succeeds with the short count; the next write (or a write with no
        // room left at all) writes nothing and fails with `error`, with 0 in
        // the count written.
        kDiskFull,
    };

    HookOperation operation = HookOperation::CreateFileW;
    Action action = Action::kFail;
    // Wildcard pattern (* and ?, case-insensitive) over the call's names
    // exactly as passed ("\notes.txt", or "quillane.x13" without the
    // backslash): the path arguments of a volume-level call (either one of
    // MoveFileW / DeleteAndRenameFileW), the name a handle was opened under
    // for a file- or search-level call. Empty: every call matches.
    std::u16string name_pattern{};
    // The first matching call that faults, counting from 1.
    unsigned nth = 1;
    // Transient (false): only that call faults. Persistent: it and every
    // later matching call.
    bool persistent = false;
    DWORD error = ERROR_GEN_FAILURE;
    // kDiskFull: bytes that fit.
    ULONGLONG byte_limit = 0;
};

// One call as the layer saw it.
struct HookCall {
    HookOperation operation;
    HANDLE handle;             // first argument, as the layer above passed it
    std::u16string name;       // the first name (see FaultRule::name_pattern), or empty
    std::u16string second_name;  // MoveFileW / DeleteAndRenameFileW: the second path
    DWORD_PTR result;          // the result returned above, as a machine word
    DWORD error;               // the last error when the call failed, else ERROR_SUCCESS
    bool injected;             // failed (or shortened) by a rule
    bool violation;            // made with a handle that was not live
};

class FaultLayer {
public:
    FaultLayer();
    ~FaultLayer();
    FaultLayer(const FaultLayer&) = delete;
    FaultLayer& operator=(const FaultLayer&) = delete;

    // A table of the same shape over `below`: same leading field and volume,
    // entries that apply the rules and forward. May be called for several
    // volumes; every table stays valid while this layer lives (and the layer
    // must outlive every call made through them). Aborts the test program
    // when more than kHookShimSlots tables are alive in the process.
    HookTable Wrap(const HookTable& below);

    // Rules apply in the order added: every matching rule counts the call,
    // the first that fires decides.
    void AddRule(FaultRule rule);
    void ClearRules();

    std::vector<HookCall> Calls() const;
    // Forgets the recorded calls and the per-operation counts (not the live
    // handles, violations or rules).
    void ClearCalls();
    // Calls of `op` seen since the last ClearCalls, violations included.
    size_t CallCount(HookOperation op) const;
    // Faults fired since construction: a walk over call indexes ends when a
    // run fires none.
    size_t InjectedFaults() const;

    // Live handles: successful opens minus successful closes.
    size_t OpenHandles() const;
    // The names those handles were opened under, for failure messages.
    std::vector<std::u16string> OpenHandleNames() const;
    std::vector<HookCall> Violations() const;

    // Called by the shim for every call through a wrapped table.
    template <HookOperation Op, class... A>
    typename HookOperationTraits<Op>::Result Intercept(const HookTable& below, HANDLE h, A... a);

    struct State;

private:
    enum class Verdict { kForward, kFail, kShortWrite, kCloseThenFail };
    struct Decision {
        Verdict verdict = Verdict::kForward;
        DWORD error = ERROR_SUCCESS;
        DWORD allowed_bytes = 0;  // kShortWrite
        bool violation = false;
    };
    struct Pending {
        HookOperation operation;
        HANDLE volume;
        HANDLE handle;
        std::u16string name;
        std::u16string second_name;
        DWORD write_count = 0;
        int names_seen = 0;
    };

    static void CollectName(Pending& pending, LPCWSTR name);
    template <class T>
    static void CollectName(Pending&, T) {}

    // Begin checks the handle and the rules before the call; End records the
    // call and updates the live handles (an open that succeeded below adds
    // `returned`; a close that did not succeed below keeps its handle).
    Decision Begin(Pending& pending);
    void End(const Pending& pending, const Decision& decision, DWORD_PTR returned, bool returned_failure,
             bool below_succeeded);

    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

template <HookOperation Op, class... A>
typename HookOperationTraits<Op>::Result FaultLayer::Intercept(const HookTable& below, HANDLE h, A... a) {
    using Result = typename HookOperationTraits<Op>::Result;
    constexpr bool kWrite = Op == HookOperation::WriteFile || Op == HookOperation::WriteFileWithSeek;
    const Result failure = HookFailureResult<Result>();

    Pending pending{Op, below.volume, h, {}, {}};
    (CollectName(pending, a), ...);
    std::tuple<A...> arguments{a...};
    if constexpr (kWrite) pending.write_count = std::get<1>(arguments);

    const Decision decision = Begin(pending);
    if (decision.verdict == Verdict::kFail) {
        if constexpr (kWrite) {
            if (LPDWORD written = std::get<2>(arguments)) *written = 0;
        }
        SetLastError(decision.error);
        End(pending, decision, HookResultWord(failure), true, false);
        return failure;
    }
    if constexpr (kWrite) {
        if (decision.verdict == Verdict::kShortWrite) std::get<1>(arguments) = decision.allowed_bytes;
    }
    const Result result = std::apply(
        [&](auto... forwarded) { return (below.*HookOperationTraits<Op>::kField)(h, forwarded...); }, arguments);
    bool succeeded = result != failure;
    if constexpr (std::is_pointer_v<Result>) succeeded = succeeded && result != nullptr;
    if (decision.verdict == Verdict::kCloseThenFail && succeeded) {
        SetLastError(decision.error);
        End(pending, decision, HookResultWord(failure), true, true);
        return failure;
    }
    End(pending, decision, HookResultWord(result), !succeeded, succeeded);
    return result;
}

}  // namespace platform
