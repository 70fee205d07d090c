// What an interrupted open or close leaves at a card's root, told apart by
// what the card holds, for `quillane recover`: expansion files ("v" + four
// hex digits + ".TMP", the plain copy of a compressed file while it is open)
// and staging files ("y" likewise, a compressed copy being written by a
// close). Each is judged against the card's other files: a leftover whose
// data is also held elsewhere on the card may go; one that may hold the only
// copy of a program's writes is kept, moved under "recovered/" at the root,
// named after the file it belonged to when the card tells which.
//
// It works on the card folder itself, beneath the filter: opening a
// leftover through the filter would expand it into yet another expansion
// file. It changes nothing until ApplyRecovery, and even then deletes only
// what another file on the card holds byte for byte, or what is provably a
// close's unfinished work. Not a check of the card's other files (info does
// that), and not to be run while a program uses the card.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillane::cli {

// The folder at the card root where kept leftovers go.
inline constexpr char kRecoveredFolder[] = "recovered";

enum class LeftoverKind {
    kExpansion,  // "v": plain data of an open compressed file
    kStaging,    // "y": compressed data a close was putting in place
};

// Whether a root name is one the filter gives its temporary files: "v" or
// "y", exactly four hexadecimal digits, ".TMP", in any case. "v12.TMP" or
// "vXYZW.TMP" is somebody else's file.
std::optional<LeftoverKind> LeftoverKindOf(std::string_view host_name);

enum class LeftoverFate {
    kRemove,     // its data is held elsewhere on the card, or it holds none
    kKeep,       // may hold the only copy of some data: moved to keep_as
    kUntouched,  // could not be judged (unreadable): left where it is
};

struct Leftover {
    std::string name;  // host name at the root
    LeftoverKind kind;
    unsigned long long size = 0;  // bytes it takes on the card
    LeftoverFate fate = LeftoverFate::kUntouched;
    std::string finding;      // what the card says about it, for the report
    std::string owner;        // card path ("docs/a.txt") of the file it belonged to; empty when unknown
    std::string owner_basis;  // how the owner was told ("same content", "same creation time, 97% alike")
    std::string keep_as;      // for kKeep: card path it moves to ("recovered/docs/a.txt.v1A2B.TMP")
};

struct RecoveryPlan {
    std::vector<Leftover> leftovers;    // in name order
    std::vector<std::string> problems;  // what could not be looked at (a folder that cannot be read, ...)
};

// Looks at every leftover at the root of `card_dir` and decides its fate;
// changes nothing. Gives nothing, with the reason in `error`, only when the
// root itself cannot be read.
std::optional<RecoveryPlan> PlanRecovery(const std::string& card_dir, std::string* error);

struct RecoveryAction {
    bool done = false;
    std::string kept_as;  // where a kept leftover went (it may differ from the plan when that name was taken)
    std::string error;    // why it was not done
};

// Carries the plan out, one action per leftover in the plan's order:
// removes the kRemove ones, moves the kKeep ones under recovered/ (never
// replacing a file there), leaves the kUntouched ones. The card's folders
// are flushed afterwards, so that what was done stays done.
std::vector<RecoveryAction> ApplyRecovery(const std::string& card_dir, const RecoveryPlan& plan);

}  // namespace quillane::cli
