// SPDX-License-Identifier: MIT
// Test helper for checking card volumes with the host's standard FAT tools (fsck.fat from
// dosfstools, mtools): the partition is extracted from the card's logical sectors into a
// raw file the tools work on, and a raw file changed by the tools is written back.
#pragma once

#include "test_card.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct ToolRun {
    int exitCode = -1;
    std::string output; // standard output and error together
};

// Runs a shell command line.
ToolRun apiRunTool(const std::string& command);
// Runs an mtools command line and expects it to succeed; returns its output. skipCheck
// sets MTOOLS_SKIP_CHECK, for volumes whose geometry mtools would otherwise question.
std::string apiMtools(const std::string& command, bool skipCheck = false);
// Path of fsck.fat, or "" when it is not installed.
std::string apiFsckPath();
// A whole host file ({} when it cannot be read); a host file written (replaced) with bytes.
std::vector<std::uint8_t> apiReadHostFile(const std::filesystem::path& path);
void apiWriteHostFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Writes the partition (logical sectors from the partition's first sector on, partition
// sectors long) of the mounted card into a raw file; unmapped blocks read as 0xFF.
void apiExtractPartition(const std::string& rawPath);
// Imports a raw partition file into the card, as the volume import does.
void apiImportPartition(const std::string& rawPath);

// fsck.fat -n on a raw partition: clean when it reports nothing but the remark on the blank
// label this system's format writes (which alone makes it exit 1).
struct FsckVerdict {
    bool clean = false;
    std::uint32_t clusters = 0; // from its summary "N files, used/total clusters"
    std::string output;
};
FsckVerdict apiFsck(const std::string& rawPath);

// A tree of files: "DIR/SUB/NAME.EXT" to contents; folders as "DIR/" with no contents.
using FileTree = std::map<std::string, std::vector<std::uint8_t>>;
// The tree below a card folder, read through the public calls.
FileTree apiCardTree(const std::string& folder = "vx:\\");
// The tree below a host folder (names as they are on the host).
FileTree apiHostTree(const std::string& folder);
// The tree of a raw partition as mtools copies it out (mcopy -s into a temporary folder).
FileTree apiMtoolsTree(const std::string& rawPath, const std::string& scratchFolder);

// Extracts the mounted card's partition and checks that fsck.fat finds no error and that
// mtools sees exactly the tree the public calls see. Returns the raw file's path.
void apiExpectToolsAgree(const std::string& scratchFolder);
