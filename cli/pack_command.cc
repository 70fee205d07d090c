// `quillane pack IN OUT` and `quillane unpack IN OUT`: the block encoder and
// decoder on ordinary files, the same format the filter keeps on a card. OUT
// appears only when complete; IN is never written. Not for the card's files
// under a mount: those are packed by the filter itself.
#include <array>
#include <string>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/host_file.h"
#include "cli/messages.h"

namespace quillane::cli {
namespace {

// The first bytes of the input, to tell a compressed file from a plain one.
struct Prefix {
    std::array<BYTE, kCodecSignatureSize> bytes{};
    size_t size = 0;
    bool IsSignature() const { return CodecIsSignature(bytes.data(), static_cast<DWORD>(size)) != FALSE; }
};

std::optional<Prefix> ReadPrefix(InputFile& input) {
    Prefix prefix;
    const std::optional<size_t> got = input.Read(prefix.bytes);
    if (!got) return std::nullopt;
    prefix.size = *got;
    return prefix;
}

// Opens IN and OUT for either direction, or says why not.
struct Ends {
    std::optional<InputFile> input;
    std::optional<OutputFile> output;
};

// `encoder`, for pack alone, takes the block encoder that -e/--encoder names.
int OpenEnds(const Command& self, Arguments arguments, Ends& ends, CodecEncoder* encoder = nullptr) {
    constexpr LongOption kLongOptions[] = {{"encoder", 'e'}};
    const std::optional<ParsedArguments> parsed =
        encoder != nullptr ? ParseArguments(self, arguments, {}, "e", kLongOptions) : ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (encoder != nullptr) {
        for (const std::string& name : parsed->Values('e')) {
            const std::optional<CodecEncoder> named = ParseEncoderName(name);
            if (!named) return UsageError(self, "unknown encoder " + Quoted(name) + " (zlib or libdeflate)");
            *encoder = *named;
        }
    }
    if (parsed->operands.size() != 2) return UsageError(self, "needs IN and OUT");
    std::string error;
    ends.input = InputFile::Open(parsed->operands[0], &error);
    if (!ends.input) return Fail(self, error);
    std::optional<OutputFile> output = OutputFile::Create(parsed->operands[1], *ends.input, &error);
    if (!output) return Fail(self, error);
    ends.output.emplace(std::move(*output));
    return -1;
}

std::string ReadFailure(const InputFile& input) {
    return "cannot read " + input.Name() + ": " + HostErrorText(input.ReadError());
}

int RunPack(const Command& self, Arguments arguments) {
    Ends ends;
    CodecEncoder encoder = kCodecEncoderZlib;
    if (const int status = OpenEnds(self, arguments, ends, &encoder); status >= 0) return status;
    InputFile& input = *ends.input;
    OutputFile& output = *ends.output;
    ByteProgress progress("pack " + input.Name(), input.IsRegularFile() ? input.Status().st_size : 0);
    input.ShowProgress(&progress);

    // The encoder takes its data from a source that starts at the file's
    // first byte; the prefix read to check for a signature goes in first.
    const std::optional<Prefix> prefix = ReadPrefix(input);
    if (!prefix) return Fail(self, ReadFailure(input));
    if (prefix->IsSignature()) {
        return Fail(self, input.Name() +
                              ": is already compressed; packing it again would hide its data behind a second "
                              "layer (unpack it, or copy it as it is)");
    }
    struct PrefixedSource {
        const Prefix* prefix;
        size_t offset;
        InputFile* rest;
    } state{&*prefix, 0, &input};
    const CodecSource source{&state, [](void* context, void* buffer, DWORD count, DWORD* delivered) -> BOOL {
        auto* s = static_cast<PrefixedSource*>(context);
        auto* out = static_cast<BYTE*>(buffer);
        DWORD given = 0;
        while (given < count && s->offset < s->prefix->size) out[given++] = s->prefix->bytes[s->offset++];
        const std::optional<size_t> got = s->rest->Read(std::span<BYTE>(out + given, count - given));
        if (!got) return FALSE;
        *delivered = given + static_cast<DWORD>(*got);
        return TRUE;
    }};
    const CodecSink sink = output.Sink();
    const CodecResult result = CodecEncodeWith(&source, &sink, encoder);
    std::string error;
    switch (result) {
        case kCodecCompleted: break;
        case kCodecSourceFailed: return Fail(self, ReadFailure(input) + "; " + output.Name() + " not written");
        case kCodecNoMemory: return Fail(self, "out of memory; " + output.Name() + " not written");
        default: break;  // a failed write: Commit names it
    }
    if (!output.Commit(&error)) return Fail(self, error);
    return kExitSuccess;
}

int RunUnpack(const Command& self, Arguments arguments) {
    Ends ends;
    if (const int status = OpenEnds(self, arguments, ends); status >= 0) return status;
    InputFile& input = *ends.input;
    OutputFile& output = *ends.output;
    ByteProgress progress("unpack " + input.Name(), input.IsRegularFile() ? input.Status().st_size : 0);
    input.ShowProgress(&progress);

    const std::optional<Prefix> prefix = ReadPrefix(input);
    if (!prefix) return Fail(self, ReadFailure(input));
    if (!prefix->IsSignature()) {
        return Fail(self, input.Name() + ": is not compressed (it does not begin with the signature BE EF 85 A1); " +
                              output.Name() + " not written");
    }
    const CodecSource source = input.Source();
    const CodecSink sink = output.Sink();
    const CodecResult result = CodecDecode(&source, &sink);
    std::string error;
    switch (result) {
        case kCodecCompleted: break;
        case kCodecDamaged:
            return Fail(self, input.Name() + ": is damaged (quillane info " + Quoted(input.Name()) +
                                  " names the first damaged block); " +
                                  (output.Name() == "standard output" ? "what could be decoded was written"
                                                                      : output.Name() + " not written"));
        case kCodecSourceFailed: return Fail(self, ReadFailure(input) + "; " + output.Name() + " not written");
        case kCodecNoMemory: return Fail(self, "out of memory; " + output.Name() + " not written");
        default: break;
    }
    if (!output.Commit(&error)) return Fail(self, error);
    return kExitSuccess;
}

}  // namespace

const Command kPackCommand{
    "pack", "pack [--encoder zlib|libdeflate] IN OUT", "compress an ordinary file into the card's format",
    "Compresses IN into OUT in the format the filter keeps on a card: the\n"
    "signature BE EF 85 A1, then blocks of up to 128 KiB, each a zlib stream\n"
    "of level 9 or stored as it is when it does not get smaller. \"-\" names\n"
    "standard input or output. A regular file OUT appears only once it is\n"
    "complete; a device or fifo is written as the data comes, a symbolic link\n"
    "through to its file. IN is never changed, and OUT may not be IN. A file\n"
    "that is already compressed is refused.\n\n"
    "  -e, --encoder NAME  the block encoder: zlib (the default) or libdeflate\n"
    "                      (faster, slightly smaller; the same format)\n",
    RunPack};

const Command kUnpackCommand{
    "unpack", "unpack IN OUT", "decompress a file in the card's format",
    "Decompresses IN, a file in the card's format, into OUT. \"-\" names\n"
    "standard input or output. A regular file OUT appears only once it is\n"
    "complete; a device or fifo is written as the data comes, a symbolic link\n"
    "through to its file. IN is never changed. A plain file (no signature) is refused, and so is a damaged\n"
    "one (quillane info shows where the damage starts).\n",
    RunUnpack};

}  // namespace quillane::cli
