// The fault-injecting layer's bookkeeping (see fault_layer.h): the live
// handles, the rules and the record of calls. The forwarding itself is the
// member template in the header.
#include "platform/hook/fault_layer.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "platform/core/wide_string.h"

namespace platform {
namespace {

struct LiveHandle {
    HookLevel level;
    HANDLE volume;  // of the table it was opened through
    std::u16string name;
};

struct RuleState {
    FaultRule rule;
    unsigned seen = 0;
    ULONGLONG written = 0;  // kDiskFull
    bool spent = false;     // kDiskFull, transient, after its failure
};

bool IsClose(HookOperation op) { return op == HookOperation::CloseFile || op == HookOperation::FindClose; }

bool IsWrite(HookOperation op) { return op == HookOperation::WriteFile || op == HookOperation::WriteFileWithSeek; }

}  // namespace

struct FaultLayer::State {
    std::vector<int> slots;
    std::vector<RuleState> rules;
    std::vector<HookCall> calls;
    std::vector<HookCall> violations;
    std::array<size_t, kHookOperationCount> counts{};
    size_t injected = 0;
    std::unordered_map<HANDLE, LiveHandle> live;
};

FaultLayer::FaultLayer() : state_(std::make_unique<State>()) {}

FaultLayer::~FaultLayer() {
    for (int slot : state_->slots) HookShim<FaultLayer>::Release(slot);
}

HookTable FaultLayer::Wrap(const HookTable& below) {
    const int slot = HookShim<FaultLayer>::Bind(this, below);
    if (slot < 0) {
        std::fprintf(stderr, "FaultLayer: more than %d wrapped tables alive at once\n", kHookShimSlots);
        std::abort();
    }
    std::lock_guard lock(mutex_);
    state_->slots.push_back(slot);
    return HookShim<FaultLayer>::Table(slot);
}

void FaultLayer::AddRule(FaultRule rule) {
    std::lock_guard lock(mutex_);
    state_->rules.push_back(RuleState{std::move(rule)});
}

void FaultLayer::ClearRules() {
    std::lock_guard lock(mutex_);
    state_->rules.clear();
}

std::vector<HookCall> FaultLayer::Calls() const {
    std::lock_guard lock(mutex_);
    return state_->calls;
}

void FaultLayer::ClearCalls() {
    std::lock_guard lock(mutex_);
    state_->calls.clear();
    state_->counts.fill(0);
}

size_t FaultLayer::CallCount(HookOperation op) const {
    std::lock_guard lock(mutex_);
    return state_->counts[static_cast<int>(op)];
}

size_t FaultLayer::InjectedFaults() const {
    std::lock_guard lock(mutex_);
    return state_->injected;
}

size_t FaultLayer::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return state_->live.size();
}

std::vector<std::u16string> FaultLayer::OpenHandleNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    for (const auto& [handle, live] : state_->live) names.push_back(live.name);
    return names;
}

std::vector<HookCall> FaultLayer::Violations() const {
    std::lock_guard lock(mutex_);
    return state_->violations;
}

void FaultLayer::CollectName(Pending& pending, LPCWSTR name) {
    std::u16string& slot = pending.names_seen++ == 0 ? pending.name : pending.second_name;
    slot = name != nullptr ? std::u16string(name) : std::u16string();
}

FaultLayer::Decision FaultLayer::Begin(Pending& pending) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    const HookOperation op = pending.operation;
    ++s.counts[static_cast<int>(op)];

    const HookLevel level = HookOperationLevel(op);
    if (level == HookLevel::Volume) {
        if (pending.handle != pending.volume) return Decision{Verdict::kFail, ERROR_INVALID_HANDLE, 0, true};
    } else {
        const auto it = s.live.find(pending.handle);
        if (it == s.live.end() || it->second.level != level || it->second.volume != pending.volume) {
            return Decision{Verdict::kFail, ERROR_INVALID_HANDLE, 0, true};
        }
        pending.name = it->second.name;
        // A handle being closed is no longer live: a call racing with its
        // close is the caller's fault and shows up as a violation.
        if (IsClose(op)) s.live.erase(it);
    }

    Decision decision;
    bool decided = false;
    for (RuleState& r : s.rules) {
        const FaultRule& rule = r.rule;
        const bool applies = rule.action == FaultRule::Action::kDiskFull ? IsWrite(op) : rule.operation == op;
        if (!applies) continue;
        if (!rule.name_pattern.empty() && !WideMatchesWildcard(rule.name_pattern, pending.name) &&
            (pending.second_name.empty() || !WideMatchesWildcard(rule.name_pattern, pending.second_name))) {
            continue;
        }
        ++r.seen;
        if (decided) continue;
        if (rule.action == FaultRule::Action::kDiskFull) {
            if (r.spent) continue;
            const ULONGLONG room = rule.byte_limit - r.written;
            if (pending.write_count <= room) {
                r.written += pending.write_count;
            } else if (room > 0) {
                decision = Decision{Verdict::kShortWrite, ERROR_SUCCESS, static_cast<DWORD>(room), false};
                r.written = rule.byte_limit;
                decided = true;
            } else {
                decision = Decision{Verdict::kFail, rule.error, 0, false};
                r.spent = !rule.persistent;
                decided = true;
            }
            continue;
        }
        if (r.seen == rule.nth || (rule.persistent && r.seen > rule.nth)) {
            const bool close_then_fail = rule.action == FaultRule::Action::kCloseThenFail && IsClose(op);
            decision = Decision{close_then_fail ? Verdict::kCloseThenFail : Verdict::kFail, rule.error, 0, false};
            decided = true;
        }
    }
    if (decided) ++s.injected;
    return decision;
}

void FaultLayer::End(const Pending& pending, const Decision& decision, DWORD_PTR returned, bool returned_failure,
                     bool below_succeeded) {
    const DWORD error = returned_failure ? GetLastError() : ERROR_SUCCESS;
    std::lock_guard lock(mutex_);
    State& s = *state_;
    const HookOperation op = pending.operation;
    if (!decision.violation) {
        if (op == HookOperation::CreateFileW && below_succeeded) {
            s.live[reinterpret_cast<HANDLE>(returned)] = LiveHandle{HookLevel::File, pending.volume, pending.name};
        } else if (op == HookOperation::FindFirstFileW && below_succeeded) {
            s.live[reinterpret_cast<HANDLE>(returned)] = LiveHandle{HookLevel::Search, pending.volume, pending.name};
        } else if (IsClose(op) && !below_succeeded) {
            s.live[pending.handle] = LiveHandle{HookOperationLevel(op), pending.volume, pending.name};
        }
    }
    HookCall call{op,           pending.handle, pending.name, pending.second_name, returned, error,
                  decision.verdict != Verdict::kForward && !decision.violation, decision.violation};
    if (decision.violation) s.violations.push_back(call);
    s.calls.push_back(std::move(call));
}

}  // namespace platform
