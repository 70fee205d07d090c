// `quillane stats [--json] PATH...`: how much room the files under a card
// folder (or part of it) take on the card against what programs read, in
// total and by how each file is stored, and the filter's leftovers; from
// the block headers alone (card_stats.h). Reads only, below the filter, so
// it also tells about a card that a mount serves.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/byte_progress.h"
#include "cli/card_stats.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "filter/exempt_test.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"

namespace quillane::cli {
namespace {

// The exempt list as the filter reads it, once for the whole walk; an
// uninstalled filter exempts nothing.
struct ExemptList {
    WCHAR stored[quillane_filter::kExemptListCapacity] = {};

    ExemptList() {
        HKEY key = nullptr;
        if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey, 0, 0, &key) != ERROR_SUCCESS) {
            return;
        }
        DWORD type = REG_NONE;
        DWORD size = quillane_filter::kExceptionBytes;
        if (platform::RegQueryValueExW(key, quillane_filter::kExceptionValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(stored), &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            std::fill(std::begin(stored), std::end(stored), 0);
        }
        platform::RegCloseKey(key);
    }

    bool Exempts(const std::string& name) const {
        WCHAR scratch[quillane_filter::kExemptListCapacity];
        std::copy(std::begin(stored), std::end(stored), scratch);
        return quillane_filter::IsExemptByList(scratch, platform::Utf16FromUtf8Lossy(name).c_str()) != 0;
    }
};

// "42.1%", or "-" when nothing was plain.
std::string Percent(uint64_t stored, uint64_t plain) {
    if (plain == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(stored) / static_cast<double>(plain));
    return text;
}

void PrintRow(const char* title, const StoredTally& tally) {
    std::printf("%-16s %9" PRIu64 " %16" PRIu64 " %16" PRIu64 " %7s\n", title, tally.files, tally.plain_bytes,
                tally.stored_bytes, Percent(tally.stored_bytes, tally.plain_bytes).c_str());
}

void PrintTable(const CardStats& stats) {
    std::printf("%-16s %9s %16s %16s %7s\n", "", "files", "plain bytes", "stored bytes", "ratio");
    PrintRow("total", stats.total);
    for (size_t kind = 0; kind < kStoredKindCount; ++kind) {
        const StoredTally& tally = stats.by_kind[kind];
        if (tally.files > 0) PrintRow(KindTitle(static_cast<StoredKind>(kind)), tally);
    }
    if (stats.total.stored_bytes < stats.total.plain_bytes) {
        std::printf("The card holds %s in %s.\n", ByteCount(stats.total.plain_bytes).c_str(),
                    ByteCount(stats.total.stored_bytes).c_str());
    }
    if (stats.leftovers.files > 0) {
        std::printf("Leftovers of the filter: %" PRIu64 " files, %s (see quillane recover).\n", stats.leftovers.files,
                    ByteCount(stats.leftovers.stored_bytes).c_str());
    }
    if (stats.by_kind[static_cast<size_t>(StoredKind::kDamaged)].files > 0) {
        std::printf("Damaged files are counted with the plain bytes of their sound blocks (see quillane info).\n");
    }
}

std::string JsonTally(const StoredTally& tally) {
    char text[160];
    std::snprintf(text, sizeof text, "{\"files\": %" PRIu64 ", \"plain_bytes\": %" PRIu64 ", \"stored_bytes\": %" PRIu64 "}",
                  tally.files, tally.plain_bytes, tally.stored_bytes);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

void PrintJson(const CardStats& stats) {
    std::printf("{\n  \"total\": %s,\n", JsonTally(stats.total).c_str());
    const double ratio = stats.total.plain_bytes == 0 ? 0.0
                                                      : static_cast<double>(stats.total.stored_bytes) /
                                                            static_cast<double>(stats.total.plain_bytes);
    std::printf("  \"ratio\": %.4f,\n  \"kinds\": {\n", ratio);
    for (size_t kind = 0; kind < kStoredKindCount; ++kind) {
        std::printf("    \"%s\": %s%s\n", KindKey(static_cast<StoredKind>(kind)), JsonTally(stats.by_kind[kind]).c_str(),
                    kind + 1 < kStoredKindCount ? "," : "");
    }
    std::printf("  },\n  \"leftovers\": %s,\n  \"folders\": %" PRIu64 ",\n  \"unreadable\": [",
                JsonTally(stats.leftovers).c_str(), stats.folders);
    for (size_t i = 0; i < stats.unreadable.size(); ++i) {
        std::printf("%s%s", i == 0 ? "" : ", ", JsonString(stats.unreadable[i]).c_str());
    }
    std::printf("]\n}\n");
}

int RunStats(const Command& self, Arguments arguments) {
    std::vector<std::string_view> rest;
    const bool json = TakeLongOption(arguments, "--json", &rest);
    const std::optional<ParsedArguments> parsed = ParseArguments(self, rest);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.empty()) return UsageError(self, "needs at least one PATH");

    const ExemptList exempt_list;
    CardStats stats;
    {
        ByteProgress progress("stats", 0);
        TallyCard(
            parsed->operands, [&](const std::string& name) { return exempt_list.Exempts(name); },
            [&](const CardStats& so_far) {
                progress.Show(so_far.total.stored_bytes, std::to_string(so_far.total.files) + " files");
            },
            &stats);
    }
    if (json) {
        PrintJson(stats);
    } else {
        PrintTable(stats);
    }
    for (const std::string& unreadable : stats.unreadable) PrintError(self, "cannot read " + unreadable);
    return stats.unreadable.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace

const Command kStatsCommand{
    "stats", "stats [--json] PATH...", "tell how much room a card's files take",
    "Walks each PATH (a card folder, a folder on it, or a file) as the card\n"
    "holds it and prints the files, their plain bytes (what programs read\n"
    "through the filter), their stored bytes (what the card holds) and the\n"
    "ratio of the two, in total and by kind: compressed, raw blocks only\n"
    "(data that does not compress), plain, exempt type, empty, damaged. The\n"
    "filter's leftovers (vXXXX.TMP, yXXXX.TMP at a folder's top) are counted\n"
    "apart. Reads only the block headers, never decodes.\n"
    "  --json      print the same as JSON, for scripts\n"
    "The exit status is 1 when a file or folder could not be read.\n",
    RunStats};

}  // namespace quillane::cli
