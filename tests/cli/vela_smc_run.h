// SPDX-License-Identifier: MIT
// Helpers of the vela-smc end-to-end tests: the built tool run with arguments, its exit
// status and outputs, and files and trees on the PC.
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
    std::string out, err;
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

// Starts vela-smc with args (after the words of prefix, a command that runs it), standard
// input empty, standard output into out and standard error into err (the same file when err
// is empty), SIGINT and SIGTERM at their defaults whatever the runner left them at; returns
// its process id, or -1.
inline pid_t spawnSmc(const std::vector<std::string>& args, const std::filesystem::path& out,
                      const std::filesystem::path& err = {}, std::vector<std::string> prefix = {}) {
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
    prefix.push_back(VELA_SMC_PATH);
    prefix.insert(prefix.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : prefix)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs vela-smc with args (after prefix) to its end; output is not a terminal.
inline SmcRun runSmc(const std::vector<std::string>& args, std::vector<std::string> prefix = {}) {
    TempDir capture;
    const pid_t pid = spawnSmc(args, capture / "out", capture / "err", std::move(prefix));
    int status = 0;
    const bool ended = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    return {ended ? WEXITSTATUS(status) : -1, readText(capture / "out"), readText(capture / "err")};
}

// size bytes of a sequence that differs for every seed.
inline std::string patternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = char(x >> 16);
    }
    return bytes;
}

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
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
