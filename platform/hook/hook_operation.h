// The operations of the hook table as values: an enum, their names, their
// levels and, per operation, the table field and the result a failed call
// gives. Derived from QUILLANE_HOOK_OPERATIONS, so code that must treat every
// operation alike (shims, the storage manager's lookup of a filter's exports
// by name, call counters) never lists them again.
//
// Used by the fault layer, the storage manager and tests; it holds no state
// and calls nothing.
#pragma once

#include <array>
#include <string_view>
#include <type_traits>

#include "platform/hook/hook_table.h"

namespace platform {

// Which handle an operation takes first.
enum class HookLevel { Volume, Search, File };

enum class HookOperation : int {
#define QUILLANE_HOOK_ENUMERATOR(level, result, name, params, args) name,
    QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_ENUMERATOR)
#undef QUILLANE_HOOK_ENUMERATOR
};

inline constexpr std::array<std::string_view, kHookOperationCount> kHookOperationNames = {
#define QUILLANE_HOOK_NAME(level, result, name, params, args) #name,
    QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_NAME)
#undef QUILLANE_HOOK_NAME
};

inline constexpr std::array<HookLevel, kHookOperationCount> kHookOperationLevels = {
#define QUILLANE_HOOK_LEVEL(level, result, name, params, args) HookLevel::level,
    QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_LEVEL)
#undef QUILLANE_HOOK_LEVEL
};

constexpr std::string_view HookOperationName(HookOperation op) { return kHookOperationNames[static_cast<int>(op)]; }
constexpr HookLevel HookOperationLevel(HookOperation op) { return kHookOperationLevels[static_cast<int>(op)]; }

// Compile-time facts of one operation: its field in the table and its
// function type.
template <HookOperation Op>
struct HookOperationTraits;

#define QUILLANE_HOOK_TRAITS(level, result, name, params, args)                  \
    template <>                                                                  \
    struct HookOperationTraits<HookOperation::name> {                            \
        using Function = Hook##name;                                             \
        using Result = result;                                                   \
        static constexpr Hook##name HookTable::*kField = &HookTable::name;       \
        static constexpr HookLevel kLevel = HookLevel::level;                    \
    };
QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_TRAITS)
#undef QUILLANE_HOOK_TRAITS

// The result by which an operation reports failure: INVALID_HANDLE_VALUE for
// the two that open, 0xFFFFFFFF for those that return a DWORD (attributes,
// file pointer, file size), FALSE for the rest.
template <class Result>
Result HookFailureResult() {
    if constexpr (std::is_same_v<Result, HANDLE>) {
        return INVALID_HANDLE_VALUE;
    } else if constexpr (std::is_same_v<Result, DWORD>) {
        return 0xFFFFFFFFu;
    } else {
        static_assert(std::is_same_v<Result, BOOL>);
        return FALSE;
    }
}

// A result as one machine word, for records of calls.
template <class Result>
DWORD_PTR HookResultWord(Result result) {
    if constexpr (std::is_pointer_v<Result>) {
        return reinterpret_cast<DWORD_PTR>(result);
    } else {
        return static_cast<DWORD_PTR>(static_cast<std::make_unsigned_t<Result>>(result));
    }
}

}  // namespace platform
