// SPDX-License-Identifier: MIT
#include "api_interop.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

ToolRun apiRunTool(const std::string& command) {
    ToolRun run;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> chunk;
    std::size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        run.output.append(chunk.data(), n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void apiExtractPartition(const std::string& rawPath) {
    MemoryStorage raw;
    std::uint32_t uncorrectable = 99;
    ASSERT_EQ(api().exportVolume(raw, &uncorrectable), SmfsResult::Ok);
    EXPECT_EQ(uncorrectable, 0u);
    writeFile(rawPath, raw.bytes());
}

FsckVerdict apiFsck(const std::string& rawPath) {
    FsckVerdict verdict;
    std::string fsck;
    for (const char* path : {"/sbin/fsck.fat", "/usr/sbin/fsck.fat", "/usr/bin/fsck.fat"})
        if (fs::exists(path)) fsck = path;
    if (fsck.empty()) {
        verdict.output = "fsck.fat (dosfstools) is not installed";
        return verdict;
    }
    const ToolRun run = apiRunTool(fsck + " -n '" + rawPath + "'");
    verdict.output = run.output;
    bool labelRemark = false, unknownLine = false;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(rawPath + ": ", 0) == 0) { // "N files, used/total clusters"
            const std::size_t slash = line.find('/', rawPath.size());
            if (slash != std::string::npos)
                verdict.clusters = std::uint32_t(std::strtoul(&line[slash + 1], nullptr, 10));
        } else if (line == "Label '' stored in boot sector is not valid." ||
                   line == "  Auto-removing label from boot sector.") {
            labelRemark = true;
        } else if (!line.empty() && line.rfind("fsck.fat ", 0) != 0 &&
                   line != "Leaving filesystem unchanged.") {
            unknownLine = true;
        }
    }
    verdict.clean = !unknownLine && run.exitCode == (labelRemark ? 1 : 0);
    return verdict;
}
