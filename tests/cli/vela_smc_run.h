// SPDX-License-Identifier: MIT
// Test helper for the vela-smc end-to-end tests: runs the built binary with arguments,
// capturing exit status, standard output and standard error apart, and compares file trees
// on the PC.
#pragma once

#include "fakes/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

struct SmcRun {
    int exit = -1;
    std::string out;
    std::string err;
};

inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs vela-smc with args; standard input is empty, output is not a terminal. prefix (a
// command such as setpriv with its options) runs the tool under another identity.
inline SmcRun runSmc(const std::vector<std::string>& args, const std::string& prefix = "") {
    TempDir capture;
    std::filesystem::permissions(capture.path(), std::filesystem::perms::all);
    std::string command = prefix + shellQuote(VELA_SMC_PATH);
    for (const std::string& arg : args)
        command += " " + shellQuote(arg);
    command += " </dev/null >" + shellQuote((capture / "out").string()) + " 2>" +
               shellQuote((capture / "err").string());
    SmcRun run;
    const int status = std::system(command.c_str());
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readText(capture / "out");
    run.err = readText(capture / "err");
    return run;
}

// Starts vela-smc with args, standard output into out and standard error into err (the same
// file when err is empty), SIGINT and SIGTERM at their defaults whatever the runner left
// them at; returns its process id, or -1.
inline pid_t spawnSmc(const std::vector<std::string>& args, const std::filesystem::path& out,
                      const std::filesystem::path& err = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(VELA_SMC_PATH)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, VELA_SMC_PATH, &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline std::vector<std::uint8_t> patternBytes(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = std::uint8_t(x >> 16);
    }
    return bytes;
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Every file and folder below root: relative path ("dir/" for folders) to its contents.
inline std::map<std::string, std::string> pcTree(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(entry.path(), root).string();
        if (entry.is_directory())
            tree[rel + "/"] = "";
        else
            tree[rel] = readText(entry.path());
    }
    return tree;
}

inline int lineCount(const std::string& text) {
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

// fsck.fat -n on a raw volume must find nothing but the remark about the blank label this
// system's format writes.
inline void expectFsckClean(const std::string& raw) {
    TempDir capture;
    const std::string fsckOut = (capture / "fsck").string();
    const int status =
        std::system(("/sbin/fsck.fat -n " + shellQuote(raw) + " >" + fsckOut + " 2>&1").c_str());
    const std::string fsck = readText(fsckOut);
    EXPECT_LE(WEXITSTATUS(status), 1) << fsck;
    EXPECT_NE(fsck.find("Label '' stored in boot sector is not valid."), std::string::npos);
    EXPECT_EQ(lineCount(fsck), 6) << fsck;
}
