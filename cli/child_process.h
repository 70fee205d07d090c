// Running other programs from the demo: ls, du, df, fusermount3, and this
// very binary for the subcommands it shows (so the user sees exactly what
// typing them gives). Children inherit standard output and error unless told
// otherwise. Not a shell: arguments are passed as they are.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quillane::cli {

struct ChildOptions {
    std::string directory;    // working folder; empty: this process's
    std::string output_path;  // standard output and error into this file; empty: inherited
};

// Starts `arguments[0]` (looked up in PATH when it holds no "/"). Gives the
// child's id, or nothing with the reason in `error`.
std::optional<pid_t> StartChild(const std::vector<std::string>& arguments, const ChildOptions& options,
                                std::string* error);

// Waits for the child to end: its exit status, or 128 + the signal that
// ended it.
int WaitForChild(pid_t child);

// Whether the child has ended, without waiting; `status` as WaitForChild.
bool ChildEnded(pid_t child, int* status);

// StartChild then WaitForChild; -1 when it could not start.
int RunChild(const std::vector<std::string>& arguments, const ChildOptions& options, std::string* error);

// The path of the running program (for starting its own subcommands).
std::string OwnProgramPath();

// Whether a program of this name is found in PATH.
bool ProgramInPath(const std::string& name);

}  // namespace quillane::cli
