// `quillane cat FILE...`: writes each file's data to standard output, decoding
// compressed files and copying plain ones, as a program on the card would see
// them. Goes on past a file it cannot show and fails at the end.
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/host_file.h"
#include "cli/messages.h"

namespace quillane::cli {
namespace {

struct StandardOutput {
    int error = 0;
};

BOOL WriteToStandardOutput(void* context, const void* buffer, DWORD count) {
    auto* out = static_cast<StandardOutput*>(context);
    if (out->error != 0) return FALSE;
    if (WriteAll(STDOUT_FILENO, std::span<const BYTE>(static_cast<const BYTE*>(buffer), count))) return TRUE;
    out->error = errno;
    return FALSE;
}

// Shows one file; false after printing why it could not.
bool ShowFile(const Command& self, const std::string& path, StandardOutput& out) {
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
    const CodecSink sink{&out, &WriteToStandardOutput};

    if (CodecIsSignature(prefix, static_cast<DWORD>(*got))) {
        const CodecSource source = input->Source();
        switch (CodecDecode(&source, &sink)) {
            case kCodecCompleted: return true;
            case kCodecDamaged:
                PrintError(self, input->Name() + ": is damaged; what could be decoded was written (quillane info " +
                                     Quoted(input->Name()) + " names the first damaged block)");
                return false;
            case kCodecSourceFailed: return read_failure();
            case kCodecNoMemory: PrintError(self, "out of memory"); return false;
            case kCodecSinkFailed: return false;  // reported once by the caller
        }
        return false;
    }
    if (sink.write(sink.context, prefix, static_cast<DWORD>(*got)) == FALSE) return false;
    std::vector<BYTE> buffer(kCodecBlockSize);
    for (;;) {
        const std::optional<size_t> chunk = input->Read(buffer);
        if (!chunk) return read_failure();
        if (*chunk == 0) return true;
        if (sink.write(sink.context, buffer.data(), static_cast<DWORD>(*chunk)) == FALSE) return false;
    }
}

int RunCat(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.empty()) return UsageError(self, "needs at least one FILE");
    StandardOutput out;
    bool all_shown = true;
    for (const std::string& path : parsed->operands) {
        if (!ShowFile(self, path, out)) all_shown = false;
        if (out.error != 0) {
            return Fail(self, "cannot write to standard output: " + HostErrorText(out.error));
        }
    }
    return all_shown ? kExitSuccess : kExitFailure;
}

}  // namespace

const Command kCatCommand{
    "cat", "cat FILE...", "show files as programs on the card see them",
    "Writes the data of each FILE to standard output: a compressed file\n"
    "decoded, a plain one as it is (\"-\" reads standard input). A file that\n"
    "cannot be read or is damaged is named on standard error, the others are\n"
    "still shown, and the exit status is 1.\n",
    RunCat};

}  // namespace quillane::cli
