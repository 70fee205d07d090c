// How the quillane command speaks: help on standard output, every error on
// standard error as "quillane SUBCOMMAND: message", and the platform's error
// codes and host errno values put into words. Results go to standard output
// and are never mixed with errors.
#pragma once

#include <string>
#include <string_view>

#include "cli/command.h"
#include "platform/core/types.h"

namespace quillane::cli {

// Prints "usage: quillane SYNOPSIS" and the command's help; returns kExitSuccess.
int ShowHelp(const Command& command);

// Prints `message`, the usage line and a pointer to --help on standard
// error; returns kExitUsage.
int UsageError(const Command& command, std::string_view message);

// Prints "quillane NAME: message" on standard error.
void PrintError(const Command& command, std::string_view message);

// Says on standard error, as a warning, when the stored exempt list is one
// the filter cannot use as stored (convert and mount, at start).
void WarnOfUnusableExemptList(const Command& command);

// PrintError, then returns kExitFailure.
int Fail(const Command& command, std::string_view message);

// "held open elsewhere (sharing violation, error 32)" and the like.
std::string PlatformErrorText(DWORD error);

// strerror's text for a host errno value.
std::string HostErrorText(int error);

// "1234567 bytes (1.2 MiB)"; below 1 KiB just "123 bytes".
std::string ByteCount(unsigned long long bytes);

// Shell-style quoting of a host path for messages and shown commands: as it
// is when it holds only safe characters, else in single quotes.
std::string Quoted(std::string_view text);

}  // namespace quillane::cli
