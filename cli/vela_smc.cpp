// SPDX-License-Identifier: MIT
// vela-smc: the SMC manager on the command line. It parses the command, then either drives
// the manager core (format, ls, tree, put, get, clone, mkdir, rm, df, create), which holds every
// copy, delete and format decision and every message text, or calls the card library's
// card-level tools on an image (info, check, export, import), or mounts an image as a folder.
//
// Conventions shared by the command-line tools:
//   exit 0  the work was done
//   exit 1  the work failed (each failure is reported on standard error as
//           "vela-smc: <message>", in the manager's own words where it has them)
//   exit 2  bad usage (one line on standard error)
//   "--help" or "-h" prints the usage text (of a command, when one is named) and exits 0.
#include "vela_smc.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "usage: vela-smc COMMAND ARGUMENTS (vela-smc COMMAND --help for one command)\n"
    "\n"
    "CARD is a card image (.smc), 'usb' or 'usb:VVVV:PPPP' for the machine on the USB cable,\n"
    "'sim:FOLDER' for the simulated machine serving FOLDER, or 'unix:PATH' for a machine\n"
    "served on a socket. Card paths are written 'vx:\\game\\x.qxe' or '/game/x.qxe'.\n"
    "\n"
    "  create IMAGE --vendor samsung|toshiba --size MB [--format] [--overwrite]\n"
    "  format CARD [--full]\n"
    "  ls CARD [CARDPATH] [-l] [-R]\n"
    "  tree CARD\n"
    "  put CARD PCPATH... CARDFOLDER [-r] [--overwrite|--skip]\n"
    "  get CARD CARDPATH... PCFOLDER [-r] [--overwrite|--skip]\n"
    "  clone SOURCE TARGET [--overwrite|--skip] [--create VENDOR SIZE]\n"
    "  mkdir CARD CARDPATH\n"
    "  rm CARD CARDPATH... [-r]\n"
    "  df CARD\n"
    "  info IMAGE\n"
    "  check IMAGE [--repair]\n"
    "  export IMAGE RAW\n"
    "  import RAW IMAGE\n"
    "  mount IMAGE FOLDER [-f]\n"
    "\n"
    "Exit status: 0 done, 1 the work failed, 2 bad usage.\n";

struct Command {
    int (*run)(const Options&);
    const char* flags; // the options it takes, by their letters below
    const char* help;
};

// Option letters: r -r, R -R, l -l, o --overwrite, s --skip, f --full, F --format,
// v --vendor, z --size, g -f (mount: stay in the foreground), p --repair, c --create.
const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"create",
         {runCreate, "Fvzo",
          "usage: vela-smc create IMAGE --vendor samsung|toshiba --size 1|2|4|8|16|32|64|128 "
          "[--format] [--overwrite]\n"
          "  Writes a new, blank card image of the vendor and size in MB; --format lays down an\n"
          "  empty volume at once. An existing IMAGE is replaced only with --overwrite.\n"}},
        {"format",
         {runFormat, "f",
          "usage: vela-smc format CARD [--full]\n"
          "  Erases the card and lays down an empty volume; prints the bad-block count.\n"
          "  --full tests every block of a card image (write, read back, erase) and retires\n"
          "  the blocks that fail.\n"}},
        {"ls",
         {runList, "lR",
          "usage: vela-smc ls CARD [CARDPATH] [-l] [-R]\n"
          "  Lists a card folder (the root by default), folders ending in '/'.\n"
          "  -l adds type, size in bytes and date; -R lists the folders below as well.\n"}},
        {"tree",
         {runTree, "",
          "usage: vela-smc tree CARD\n"
          "  Shows every folder and file of the card as a tree.\n"}},
        {"put",
         {runPut, "ros",
          "usage: vela-smc put CARD PCPATH... CARDFOLDER [-r] [--overwrite|--skip]\n"
          "  Copies PC files (and folders with -r) into a card folder. A name already on the\n"
          "  card stops the copy before anything is written, unless --overwrite replaces it\n"
          "  or --skip leaves it.\n"}},
        {"get",
         {runGet, "ros",
          "usage: vela-smc get CARD CARDPATH... PCFOLDER [-r] [--overwrite|--skip]\n"
          "  Copies card files (and folders with -r) into a PC folder, under lower-case names.\n"
          "  A name already in PCFOLDER stops the copy before anything is written, unless\n"
          "  --overwrite replaces it or --skip leaves it.\n"}},
        {"clone",
         {runClone, "osc",
          "usage: vela-smc clone SOURCE TARGET [--overwrite|--skip] [--create VENDOR SIZE]\n"
          "  Copies every folder and file of the card SOURCE onto the card TARGET, any two\n"
          "  cards (an image, the machine, 'sim:FOLDER', 'unix:PATH'). A name already at\n"
          "  TARGET's root stops the clone before anything is written, unless --overwrite\n"
          "  replaces its files (a folder is copied into) or --skip leaves it.\n"
          "  --create VENDOR SIZE makes TARGET a new, formatted card image (samsung or\n"
          "  toshiba, size in MB) when it does not exist; it appears once the clone is whole.\n"}},
        {"mkdir",
         {runMkdir, "",
          "usage: vela-smc mkdir CARD CARDPATH\n"
          "  Creates a card folder.\n"}},
        {"rm",
         {runRemove, "r",
          "usage: vela-smc rm CARD CARDPATH... [-r]\n"
          "  Deletes card files, and folders with everything in them with -r.\n"}},
        {"df",
         {runSpace, "",
          "usage: vela-smc df CARD\n"
          "  Shows the total, used and free space of a card image in bytes and KB.\n"}},
        {"info",
         {runInfo, "",
          "usage: vela-smc info IMAGE\n"
          "  Describes a card image: type, maker, geometry, blocks, CIS and volume layout.\n"}},
        {"check",
         {runCheck, "p",
          "usage: vela-smc check IMAGE [--repair]\n"
          "  Checks a card image without changing it: ECC of every sector, block addresses,\n"
          "  CIS, boot records, both FATs and every chain. One line per problem found;\n"
          "  exit 0 when the card is clean, 1 when anything is wrong.\n"
          "  --repair mends what can be mended without guessing: stale copies of blocks and\n"
          "  blocks with broken addresses are erased, damaged ECC is rewritten, broken chains\n"
          "  are cut, lost clusters freed and the FATs made equal; files without problems\n"
          "  are not touched. Each change is printed as 'repaired: ...', each problem that\n"
          "  remains as 'left: ...'; exit 0 when the card is clean afterwards.\n"}},
        {"export",
         {runExport, "",
          "usage: vela-smc export IMAGE RAW\n"
          "  Writes the card's partition to RAW as a raw FAT volume for other FAT tools.\n"}},
        {"import",
         {runImport, "",
          "usage: vela-smc import RAW IMAGE\n"
          "  Writes a raw FAT volume of the card's partition size back into the card image,\n"
          "  erasing it first; a volume whose geometry does not fit the card is refused.\n"}},
        {"mount",
         {runMount, "g",
          "usage: vela-smc mount IMAGE FOLDER [-f]\n"
          "  Shows the card image as FOLDER, read and write, until 'fusermount3 -u FOLDER'.\n"
          "  Names on the card are 8.3 names: a longer name gives 'File name too long'.\n"
          "  -f stays in the foreground. Needs FUSE 3 (the fuse3 package).\n"}},
    };
    return table;
}

// Parses the arguments after the command; returns an empty text or the usage problem.
std::string parse(int argc, char** argv, const char* allowed, Options& o) {
    auto takes = [&](char letter) { return std::strchr(allowed, letter) != nullptr; };
    bool onlyPositional = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyPositional || arg.empty() || arg[0] != '-' || arg == "-") {
            o.args.push_back(arg);
            continue;
        }
        char letter = 0;
        if (arg == "--")
            onlyPositional = true;
        else if (arg == "-r")
            letter = 'r', o.recursive = true;
        else if (arg == "-R")
            letter = 'R', o.recursive = true;
        else if (arg == "-l")
            letter = 'l', o.longList = true;
        else if (arg == "--overwrite")
            letter = 'o', o.overwrite = true;
        else if (arg == "--skip")
            letter = 's', o.skip = true;
        else if (arg == "-f")
            letter = 'g', o.foreground = true;
        else if (arg == "--full")
            letter = 'f', o.full = true;
        else if (arg == "--format")
            letter = 'F', o.format = true;
        else if (arg == "--repair")
            letter = 'p', o.repair = true;
        else if (arg == "--create") {
            letter = 'c', o.create = true;
            if (i + 2 >= argc) return "--create needs VENDOR and SIZE";
            o.vendor = argv[++i];
            o.size = argv[++i];
        } else if (arg == "--vendor" || arg == "--size") {
            letter = arg == "--vendor" ? 'v' : 'z';
            if (i + 1 >= argc) return arg + " needs a value";
            (letter == 'v' ? o.vendor : o.size) = argv[++i];
        } else {
            return "unknown option '" + arg + "'";
        }
        if (letter && !takes(letter)) return o.command + " takes no option '" + arg + "'";
    }
    if (o.overwrite && o.skip) return "--overwrite and --skip exclude each other";
    return "";
}

} // namespace

int usageError(const std::string& problem) {
    std::fprintf(stderr, "vela-smc: %s (see vela-smc --help)\n", problem.c_str());
    return kExitUsage;
}

void report(const std::string& message) {
    std::fprintf(stderr, "vela-smc: %s\n", message.c_str());
}

int main(int argc, char** argv) {
    const auto& table = commands();
    const std::string first = argc > 1 ? argv[1] : "";
    const auto found = table.find(first);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(found != table.end() ? found->second.help : kUsage, stdout);
            return kExitOk;
        }
    }
    if (argc < 2) return usageError("no command given");
    if (found == table.end()) return usageError("unknown command '" + first + "'");
    Options o;
    o.command = first;
    const std::string problem = parse(argc, argv, found->second.flags, o);
    if (!problem.empty()) return usageError(problem);
    return found->second.run(o);
}
