// How the quillane command speaks (see messages.h).
#include "cli/messages.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "settings/exception_list.h"

namespace quillane::cli {

int ShowHelp(const Command& command) {
    std::printf("usage: quillane %.*s\n\n%.*s", static_cast<int>(command.synopsis.size()), command.synopsis.data(),
                static_cast<int>(command.help.size()), command.help.data());
    return kExitSuccess;
}

int UsageError(const Command& command, std::string_view message) {
    PrintError(command, message);
    std::fprintf(stderr, "usage: quillane %.*s\nTry 'quillane %.*s --help'.\n",
                 static_cast<int>(command.synopsis.size()), command.synopsis.data(),
                 static_cast<int>(command.name.size()), command.name.data());
    return kExitUsage;
}

void PrintError(const Command& command, std::string_view message) {
    std::fflush(stdout);
    std::fprintf(stderr, "quillane %.*s: %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
                 static_cast<int>(message.size()), message.data());
}

void WarnOfUnusableExemptList(const Command& command) {
    const std::string warning = ExceptionListWarning();
    if (!warning.empty()) PrintError(command, "warning: " + warning);
}

int Fail(const Command& command, std::string_view message) {
    PrintError(command, message);
    return kExitFailure;
}

std::string PlatformErrorText(DWORD error) {
    const char* text = nullptr;
    switch (error) {
        case ERROR_SUCCESS: text = "success"; break;
        case ERROR_FILE_NOT_FOUND: text = "not found"; break;
        case ERROR_PATH_NOT_FOUND: text = "folder not found"; break;
        case ERROR_TOO_MANY_OPEN_FILES: text = "too many open files"; break;
        case ERROR_ACCESS_DENIED: text = "access denied"; break;
        case ERROR_INVALID_HANDLE: text = "invalid handle"; break;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: text = "out of memory"; break;
        case ERROR_INVALID_DATA: text = "invalid data"; break;
        case ERROR_NOT_READY: text = "device not ready"; break;
        case ERROR_WRITE_FAULT: text = "write fault"; break;
        case ERROR_READ_FAULT: text = "read fault"; break;
        case ERROR_GEN_FAILURE: text = "device failure"; break;
        case ERROR_WRITE_PROTECT: text = "write protected"; break;
        case ERROR_SHARING_VIOLATION: text = "held open elsewhere (sharing violation)"; break;
        case ERROR_LOCK_VIOLATION: text = "locked"; break;
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_FULL: text = "card full"; break;
        case ERROR_NOT_SUPPORTED: text = "not supported"; break;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: text = "already exists"; break;
        case ERROR_INVALID_PARAMETER: text = "invalid parameter"; break;
        case ERROR_INVALID_NAME: text = "not a name a card can hold"; break;
        case ERROR_FILENAME_EXCED_RANGE: text = "path too long"; break;
        case ERROR_DIR_NOT_EMPTY: text = "folder not empty"; break;
        case ERROR_DIRECTORY: text = "not a folder"; break;
        case ERROR_MOD_NOT_FOUND: text = "library cannot be loaded"; break;
        case ERROR_PROC_NOT_FOUND: text = "library lacks an entry point"; break;
        case ERROR_BADDB: text = "damaged registry entry"; break;
        case ERROR_BADKEY: text = "bad registry key"; break;
        case ERROR_NO_UNICODE_TRANSLATION: text = "not valid text"; break;
        case ERROR_FILE_CORRUPT: text = "damaged (its compressed data does not decode)"; break;
        case ERROR_DEVICE_NOT_AVAILABLE: text = "device not available"; break;
        default: break;
    }
    std::string result = text != nullptr ? text : "failed";
    return result + " (error " + std::to_string(error) + ")";
}

std::string HostErrorText(int error) { return std::strerror(error); }

std::string ByteCount(unsigned long long bytes) {
    std::string text = std::to_string(bytes) + " bytes";
    if (bytes < 1024) return text;
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double amount = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (amount >= 1024 && unit + 1 < std::size(units)) {
        amount /= 1024;
        ++unit;
    }
    char human[32];
    std::snprintf(human, sizeof human, " (%.1f %s)", amount, units[unit]);
    return text + human;
}

std::string Quoted(std::string_view text) {
    bool safe = !text.empty();
    for (const char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           (c != '\0' && std::strchr("/._-+,:=@%", c) != nullptr);
        if (!plain) safe = false;
    }
    if (safe) return std::string(text);
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace quillane::cli
