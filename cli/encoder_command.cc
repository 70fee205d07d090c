// `quillane encoder [zlib | libdeflate]`: shows or sets the `Encoder` value
// under the filter's key, which chooses the block encoder the filter
// compresses with at each close. The filter reads it with the rule of
// filter/encoder_choice, so what this command shows is what a close uses.
#include <cstdio>
#include <string>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "filter/encoder_choice.h"
#include "filter/exempt_test.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"

namespace quillane::cli {
namespace {

int Show() {
    std::printf("%s\n", EncoderName(quillane_filter::ChosenEncoder()).c_str());
    return kExitSuccess;
}

int Set(const Command& self, const std::string& typed) {
    const std::optional<CodecEncoder> encoder = ParseEncoderName(typed);
    if (!encoder) return UsageError(self, "unknown encoder " + Quoted(typed) + " (zlib or libdeflate)");
    HKEY key = nullptr;
    const LSTATUS opened = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane_filter::kFilterKey, 0, 0, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return Fail(self, "the filter is not installed in the registry store " + platform::RegistryStorePath() +
                              "; run 'quillane install' first; nothing stored");
    }
    if (opened != ERROR_SUCCESS) return Fail(self, "cannot open the filter's key: " + PlatformErrorText(opened));
    std::u16string text;
    platform::Utf8ToUtf16(EncoderName(*encoder), text);
    const LSTATUS stored =
        platform::RegSetValueExW(key, quillane_filter::kEncoderValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    platform::RegCloseKey(key);
    if (stored != ERROR_SUCCESS) return Fail(self, "cannot store the encoder: " + PlatformErrorText(stored));
    std::printf("encoder: %s\n", EncoderName(*encoder).c_str());
    return kExitSuccess;
}

int RunEncoder(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.size() > 1) return UsageError(self, "takes at most one ENCODER");
    return parsed->operands.empty() ? Show() : Set(self, parsed->operands[0]);
}

}  // namespace

std::optional<CodecEncoder> ParseEncoderName(std::string_view name) {
    if (name == "zlib") return kCodecEncoderZlib;
    if (name == "libdeflate") return kCodecEncoderLibdeflate;
    return std::nullopt;
}

std::string EncoderName(CodecEncoder encoder) {
    return encoder == kCodecEncoderLibdeflate ? "libdeflate" : "zlib";
}

const Command kEncoderCommand{
    "encoder", "encoder [zlib | libdeflate]", "show or choose the filter's block encoder",
    "Without an argument, prints the block encoder the filter compresses with\n"
    "at each close; with one, stores it in the registry value Encoder under\n"
    "HKLM\\System\\StorageManager\\FATFS\\Filters\\Quillane. The filter reads\n"
    "the value at every close, so a change counts from the next close.\n\n"
    "  zlib        zlib level 9 (the default, and what a missing value means)\n"
    "  libdeflate  libdeflate level 9: two to three times faster and slightly\n"
    "              smaller; its files are read by every version of the filter\n\n"
    "Both write the same format; either reads what the other wrote. The\n"
    "filter's key must exist (quillane install).\n",
    RunEncoder};

}  // namespace quillane::cli
