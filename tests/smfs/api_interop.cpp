// SPDX-License-Identifier: MIT
#include "api_interop.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string apiMtools(const std::string& command, bool skipCheck) {
    const ToolRun run = apiRunTool((skipCheck ? "MTOOLS_SKIP_CHECK=1 " : "") + command);
    EXPECT_EQ(run.exitCode, 0) << command << "\n" << run.output;
    return run.output;
}

std::string apiFsckPath() {
    for (const char* path : {"/sbin/fsck.fat", "/usr/sbin/fsck.fat", "/usr/bin/fsck.fat"})
        if (fs::exists(path)) return path;
    return "";
}

namespace {

void cardTree(const std::string& folder, const std::string& prefix, FileTree* tree) {
    SmfsResult r = SmfsResult::Ok;
    for (const std::string& name : apiList(api(), folder, &r)) {
        if (name == "." || name == "..") continue;
        const std::string path = folder + (folder.back() == '\\' ? "" : "\\") + name;
        SmfsEntryInfo info;
        ASSERT_EQ(api().info(path.c_str(), &info), SmfsResult::Ok) << path;
        if (info.attribute & kSmfsAttrVolume) continue;
        if (info.attribute & kSmfsAttrFolder) {
            (*tree)[prefix + name + "/"];
            cardTree(path, prefix + name + "/", tree);
        } else {
            std::vector<std::uint8_t> bytes;
            ASSERT_EQ(apiReadFile(api(), path, &bytes), SmfsResult::Ok) << path;
            (*tree)[prefix + name] = bytes;
        }
    }
    ASSERT_EQ(r, SmfsResult::Ok) << folder;
}

} // namespace

std::vector<std::uint8_t> apiReadHostFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void apiWriteHostFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void apiExtractPartition(const std::string& rawPath) {
    MemoryStorage raw;
    ASSERT_EQ(api().exportVolume(raw, nullptr), SmfsResult::Ok);
    apiWriteHostFile(rawPath, raw.bytes());
}

void apiImportPartition(const std::string& rawPath) {
    MemoryStorage raw(apiReadHostFile(rawPath));
    SmfsImportProblem problem = SmfsImportProblem::None;
    ASSERT_EQ(api().importVolume(raw, &problem), SmfsResult::Ok)
        << smfs_import_problem_text(problem);
}

FsckVerdict apiFsck(const std::string& rawPath) {
    FsckVerdict verdict;
    const std::string fsck = apiFsckPath();
    if (fsck.empty()) {
        verdict.output = "fsck.fat (dosfstools) is not installed";
        return verdict;
    }
    const ToolRun run = apiRunTool(fsck + " -n '" + rawPath + "'");
    verdict.output = run.output;
    bool labelRemark = false;
    bool unknownLine = false;
    std::size_t start = 0;
    while (start < run.output.size()) {
        std::size_t end = run.output.find('\n', start);
        if (end == std::string::npos) end = run.output.size();
        const std::string line = run.output.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
            line == "Leaving filesystem unchanged.")
            continue;
        if (line.rfind(rawPath + ": ", 0) == 0) {
            const std::size_t slash = line.find('/', rawPath.size());
            if (slash != std::string::npos)
                verdict.clusters =
                    std::uint32_t(std::strtoul(line.c_str() + slash + 1, nullptr, 10));
            continue;
        }
        if (line == "Label '' stored in boot sector is not valid." ||
            line == "  Auto-removing label from boot sector.") {
            labelRemark = true;
            continue;
        }
        unknownLine = true;
    }
    verdict.clean = !unknownLine && run.exitCode == (labelRemark ? 1 : 0);
    return verdict;
}

FileTree apiCardTree(const std::string& folder) {
    FileTree tree;
    cardTree(folder, "", &tree);
    return tree;
}

FileTree apiHostTree(const std::string& folder) {
    FileTree tree;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
        const std::string rel = fs::relative(it->path(), folder).generic_string();
        if (it->is_directory())
            tree[rel + "/"];
        else
            tree[rel] = apiReadHostFile(it->path());
    }
    return tree;
}

FileTree apiMtoolsTree(const std::string& rawPath, const std::string& scratchFolder) {
    const fs::path out = fs::path(scratchFolder) / "mtools-out";
    fs::remove_all(out);
    fs::create_directories(out);
    const ToolRun listing = apiRunTool("mdir -i '" + rawPath + "' ::");
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    // An empty root has nothing for mcopy to copy.
    if (listing.output.find("No files") == std::string::npos) {
        const ToolRun copy =
            apiRunTool("mcopy -s -n -i '" + rawPath + "' '::*' '" + out.string() + "/'");
        EXPECT_EQ(copy.exitCode, 0) << copy.output;
    }
    return apiHostTree(out.string());
}

void apiExpectToolsAgree(const std::string& scratchFolder) {
    const std::string raw = (fs::path(scratchFolder) / "partition.img").string();
    apiExtractPartition(raw);
    const FsckVerdict verdict = apiFsck(raw);
    EXPECT_TRUE(verdict.clean) << verdict.output;
    const FileTree card = apiCardTree();
    const FileTree tools = apiMtoolsTree(raw, scratchFolder);
    EXPECT_FALSE(card.empty()) << "nothing to compare";
    EXPECT_EQ(card.size(), tools.size());
    for (const auto& [name, bytes] : card) {
        auto it = tools.find(name);
        if (it == tools.end()) {
            ADD_FAILURE() << name << " is not seen by mtools";
            continue;
        }
        EXPECT_EQ(it->second.size(), bytes.size()) << name;
        EXPECT_TRUE(it->second == bytes) << name << " differs as read by mtools";
    }
}
