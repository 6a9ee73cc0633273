// SPDX-License-Identifier: MIT
// Checking card volumes with the host's FAT tools (fsck.fat, mtools) on an exported partition.
#pragma once

#include "fakes/test_bytes.h"
#include "test_card.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ToolRun {
    int exitCode = -1;
    std::string output; // standard output and error together
};

ToolRun apiRunTool(const std::string& command);

// Writes the mounted card's partition into a raw file; unmapped blocks read as 0xFF.
void apiExtractPartition(const std::string& rawPath);

// fsck.fat -n on a raw partition: clean when it reports nothing but the remark on the blank
// label this system's format writes (which alone makes it exit 1).
struct FsckVerdict {
    bool clean = false;
    std::uint32_t clusters = 0; // from its summary "N files, used/total clusters"
    std::string output;
};
FsckVerdict apiFsck(const std::string& rawPath);
