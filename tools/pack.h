// `quorsfx pack` and the packing half of `quorsfx make`: files and folders given relative to
// a folder, walked in a fixed order, written by ArchiveWriter into a file that appears under
// its name only when it is complete.
#pragma once

#include <string>
#include <vector>

#include "archive_writer.h"

struct PackOptions {
    PackOptions();  // the encoder's threads: one per processor
    std::string folder;  // -C DIR: what the PATHs are relative to; empty: the current folder
    PackSettings settings;
    bool given = false;  // -C, --method or --level was given (--threads changes no byte)
    std::vector<std::string> paths;
};

// Takes -C DIR, --method lh5|lh6|lh7, --level 1-9 or --threads N at args[i] (i then stands
// on its value).
// 1: taken; 0: args[i] is none of them; -1: a bad or missing value (said in `error`).
int takePackOption(const std::vector<std::string>& args, size_t& i, PackOptions& options,
                   std::string& error);

// Writes `prefix` (a stub and its configuration block, or nothing) and then the archive of
// options.paths to `out`. Returns the exit status: 0, 1 when a member was refused (then
// nothing is written), 2 for input/output errors.
int writePacked(const std::string& out, const std::string& prefix, const PackOptions& options);

// Writes `prefix` and then the bytes of the file `archive` to `out`, the same way.
int writeCopied(const std::string& out, const std::string& prefix, const std::string& archive);

// quorsfx pack -o OUT [-C DIR] [--method M] [--level N] [--threads N] PATH...
int pack(const std::vector<std::string>& args);
