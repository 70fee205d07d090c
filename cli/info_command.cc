// `quillane info FILE...`: what a file holds in the card's format (plain or
// compressed, plain and stored sizes, blocks, ratio) and whether every block
// decodes to its data length. Reads only; damage makes the exit status 1 and
// names the first damaged block's offset, so scripts can check a card.
#include <cinttypes>
#include <cstdio>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/host_file.h"
#include "cli/messages.h"

namespace quillane::cli {
namespace {

std::string Ratio(ULONGLONG stored, ULONGLONG plain) {
    if (plain == 0) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f%% of the plain size", 100.0 * static_cast<double>(stored) / plain);
    return text;
}

// Describes one file on standard output; false after printing why it could
// not, or that it is damaged.
bool DescribeFile(const Command& self, const std::string& path) {
    std::string error;
    std::optional<InputFile> input = InputFile::Open(path, &error);
    if (!input) {
        PrintError(self, error);
        return false;
    }
    const auto read_failure = [&] {
        PrintError(self, "cannot read " + input->Name() + ": " + HostErrorText(input->ReadError()));
        return false;
    };
    BYTE prefix[kCodecSignatureSize];
    const std::optional<size_t> got = input->Read(prefix);
    if (!got) return read_failure();
    const char* name = input->Name().c_str();

    if (!CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
        if (!input->IsRegularFile()) {
            std::printf("%s: plain (not compressed)\n", name);
            return true;
        }
        const auto size = static_cast<unsigned long long>(input->Status().st_size);
        std::printf("%s: plain (not compressed)\n  plain size:   %llu bytes\n  stored size:  %llu bytes\n", name,
                    size, size);
        return true;
    }

    CodecScanReport report{};
    const CodecScanSource source = input->ScanSource();
    const CodecResult result = CodecScan(&source, TRUE, &report);
    if (result == kCodecSourceFailed) return read_failure();
    if (result == kCodecNoMemory) {
        PrintError(self, input->Name() + ": out of memory");
        return false;
    }
    const ULONGLONG stored =
        input->IsRegularFile() ? static_cast<ULONGLONG>(input->Status().st_size) : report.storedSize;
    std::printf("%s: compressed\n", name);
    std::printf("  plain size:   %llu bytes\n", static_cast<unsigned long long>(report.plainSize));
    std::printf("  stored size:  %llu bytes\n", static_cast<unsigned long long>(stored));
    std::printf("  blocks:       %llu compressed, %llu raw\n", static_cast<unsigned long long>(report.compressedBlocks),
                static_cast<unsigned long long>(report.rawBlocks));
    std::printf("  ratio:        %s\n", Ratio(stored, report.plainSize).c_str());
    if (result == kCodecDamaged || report.damaged) {
        const auto offset = static_cast<unsigned long long>(report.damageOffset);
        std::printf("  check:        DAMAGED, first damaged block at offset %llu (0x%llx)\n", offset, offset);
        PrintError(self, input->Name() + ": damaged: the first damaged block starts at offset " +
                             std::to_string(offset));
        return false;
    }
    std::printf("  check:        sound, every block decodes to its data length\n");
    return true;
}

int RunInfo(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.empty()) return UsageError(self, "needs at least one FILE");
    bool all_sound = true;
    for (const std::string& path : parsed->operands) {
        if (!DescribeFile(self, path)) all_sound = false;
    }
    if (std::fflush(stdout) != 0) return Fail(self, "cannot write to standard output");
    return all_sound ? kExitSuccess : kExitFailure;
}

}  // namespace

const Command kInfoCommand{
    "info", "info FILE...", "show how a file is stored and check it",
    "For each FILE (\"-\" reads standard input): whether it is compressed or\n"
    "plain, its plain size (what programs on the card see), its stored size\n"
    "(what the card holds), its blocks (compressed and raw), the ratio, and a\n"
    "check that every block decodes to its data length. The exit status is 1\n"
    "when a file is damaged (the first damaged block's offset is named) or\n"
    "cannot be read.\n",
    RunInfo};

}  // namespace quillane::cli
