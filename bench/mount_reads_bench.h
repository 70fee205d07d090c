// The mount's reads from the card's blocks, for mount_bench: time to the
// first byte and sequential and random reads of a 256 MiB compressed file,
// the bytes the mount writes to the card while files are read, and a 256 MiB
// exempt file next to a bare FUSE pass-through. Prints its own table of
// figures against their goals.
#pragma once

#include <sys/types.h>

#include <string>

struct ReadsBenchFolders {
    std::string card;         // the card folder the mount serves
    std::string card_mount;   // where the mount serves it
    std::string pass_source;  // the bare pass-through's folder
    std::string pass_mount;   // where the pass-through serves it
    pid_t mount_driver;       // the mount's process, whose writes are counted
};

// Returns false when the files cannot be made.
bool MeasureReadsFromBlocks(const ReadsBenchFolders& folders);
