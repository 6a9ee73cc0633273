// SPDX-License-Identifier: MIT
// vela-gfx: batch work of the graphics tool from the command line. It parses the command and
// its arguments and calls the graphics core for everything else, so the files it writes are
// the window's, byte for byte.
//
// Conventions shared by the command-line tools:
//   exit 0  the work was done
//   exit 1  the work failed, wholly or for some of the files (each failure is reported on
//           standard error as "<tool>: <message>" and the others are still done)
//   exit 2  bad usage (the usage text goes to standard error)
//   "--help" or "-h" anywhere prints the usage text to standard output and exits 0.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "graphics/image_list.h"
#include "graphics/palette.h"
#include "graphics/palette_import.h"
#include "graphics/picture_loader.h"
#include "graphics/text_export.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: vela-gfx COMMAND ARGUMENTS\n"
    "\n"
    "  vxg PICTURES... -o FOLDER [--transparent INDEX]\n"
    "      write each picture as a Vela image file FOLDER/<first 8 letters of its title>.vxg;\n"
    "      with --transparent, the files use palette index INDEX (0 to 255) as transparent\n"
    "  text PICTURES... -o FOLDER\n"
    "      write each palette picture as C source text FOLDER/<title as a C name>.txt\n"
    "  palette (PICTURE|PALETTE) -o FILE\n"
    "      write the palette of a picture, or of an .act or .pal file, as C source text\n"
    "  info PICTURE\n"
    "      show the picture's size, depth and palette size\n"
    "\n"
    "Pictures are .bmp, .jpg, .jpeg, .png or .vxg files.\n"
    "Exit status: 0 done, 1 some work failed, 2 bad usage.\n";

struct Arguments {
    std::string command;
    std::vector<std::string> inputs;
    std::string output;
    bool hasOutput = false;
    bool hasTransparent = false;
    unsigned transparent = 0;
};

int usageError(const std::string& problem) {
    std::fprintf(stderr, "vela-gfx: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

void report(const std::string& message) {
    std::fprintf(stderr, "vela-gfx: %s\n", message.c_str());
}

bool parseIndex(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 3) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 255;
}

// Parses the arguments after the command; returns an empty text or the usage problem.
std::string parseArguments(int argc, char** argv, Arguments& args) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-o") {
            if (i + 1 >= argc) return "-o needs a name";
            if (args.hasOutput) return "-o given twice";
            args.output = argv[++i];
            args.hasOutput = true;
        } else if (arg == "--transparent") {
            if (i + 1 >= argc) return "--transparent needs an index";
            if (!parseIndex(argv[++i], args.transparent))
                return "--transparent takes an index from 0 to 255";
            args.hasTransparent = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else {
            args.inputs.push_back(arg);
        }
    }
    return {};
}

std::string fileNameOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// Loads every input into `list`, reporting those that fail and the decoder's warnings about
// those that loaded; false if any failed.
bool loadAll(const std::vector<std::string>& paths, const PaletteTable& palette, ImageList& list) {
    bool ok = true;
    for (const std::string& path : paths) {
        std::string warning;
        const PictureLoadResult result = AppendImageFile(list, path, palette, &warning);
        if (result != PictureLoadResult::Ok) {
            report(PictureLoadMessage(result, fileNameOf(path)));
            ok = false;
        } else if (!warning.empty()) {
            report("'" + fileNameOf(path) + "': " + warning);
        }
    }
    return ok;
}

bool makeFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        report("cannot create folder '" + folder + "'");
        return false;
    }
    return true;
}

int saveImages(const Arguments& args, bool asText) {
    if (args.inputs.empty()) return usageError("no pictures given");
    if (!args.hasOutput) return usageError("-o FOLDER is missing");
    if (asText && args.hasTransparent) return usageError("--transparent is for vxg only");
    if (!makeFolder(args.output)) return kExitFailed;

    const PaletteTable palette{};
    ImageList list;
    bool ok = loadAll(args.inputs, palette, list);
    const LocalTime now = SystemLocalTime();
    const SaveKind kind = asText ? SaveKind::Text : SaveKind::Vxg;
    const std::vector<int> clashes = SaveNameClashes(list, kind);
    for (std::size_t i = 0; i < list.size(); ++i) {
        ImageItem& item = list[i];
        if (clashes[i] >= 0) {
            // Writing it would overwrite the earlier picture's file.
            report("'" + item.text[kColFileNamePc] + "' not written: '" +
                   list[static_cast<std::size_t>(clashes[i])].text[kColFileNamePc] +
                   "' is written as '" + SaveFileName(item, kind) + "' too");
            ok = false;
            continue;
        }
        if (args.hasTransparent) SetTransparency(item, true, args.transparent);
        const ImageSaveResult result =
            asText ? SaveItemAsText(item, args.output, now) : SaveItemAsVxg(item, args.output);
        if (result == ImageSaveResult::Ok) continue;
        ok = false;
        if (asText) {
            report(ImageTextSaveMessage(result, item));
        } else if (result == ImageSaveResult::NotSavable) {
            report("'" + item.text[kColFileNamePc] + "' skipped: a " + item.text[kColBpp] +
                   "-bit picture has no Vela image form");
        } else {
            report("failed to write file '" + item.text[kColFileNameVx] + ".vxg'");
        }
    }
    return ok ? kExitOk : kExitFailed;
}

int savePalette(const Arguments& args) {
    if (args.inputs.size() != 1) return usageError("palette takes one picture or palette file");
    if (!args.hasOutput) return usageError("-o FILE is missing");
    if (args.hasTransparent) return usageError("--transparent is for vxg only");

    const std::string& input = args.inputs[0];
    PaletteTable table{};
    const PaletteImportResult imported = ImportPaletteFile(input, table);
    if (imported == PaletteImportResult::Ignored) {
        LoadedPicture loaded;
        const PictureLoadResult result = LoadPicture(input, table, loaded);
        if (result != PictureLoadResult::Ok) {
            report(PictureLoadMessage(result, fileNameOf(input)));
            return kExitFailed;
        }
        if (!loaded.ownPalette) {
            report("'" + fileNameOf(input) + "' holds no palette");
            return kExitFailed;
        }
        if (CopyPictureToPaletteTable(loaded.picture, table) == 0) {
            report("'" + fileNameOf(input) + "' has no palette");
            return kExitFailed;
        }
    } else if (imported != PaletteImportResult::Ok) {
        report(PaletteImportMessage(imported));
        return kExitFailed;
    }
    if (SavePaletteAsText(table, args.output) != ImageSaveResult::Ok) {
        report("failed to create file '" + args.output + "'");
        return kExitFailed;
    }
    return kExitOk;
}

int showInfo(const Arguments& args) {
    if (args.inputs.size() != 1) return usageError("info takes one picture");
    if (args.hasOutput || args.hasTransparent) return usageError("info takes no options");
    LoadedPicture loaded;
    const PaletteTable palette{};
    const PictureLoadResult result = LoadPicture(args.inputs[0], palette, loaded);
    if (result != PictureLoadResult::Ok) {
        report(PictureLoadMessage(result, fileNameOf(args.inputs[0])));
        return kExitFailed;
    }
    const Picture& p = loaded.picture;
    if (!loaded.warning.empty()) report("'" + fileNameOf(args.inputs[0]) + "': " + loaded.warning);
    const std::size_t paletteSize = loaded.ownPalette ? p.palette.size() : 0;
    std::printf("size: %d x %d\nbpp: %s\npalette: %zu\n", p.width, p.height, DepthText(p.format),
                paletteSize);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
    }
    if (argc < 2) return usageError("no command given");
    Arguments args;
    args.command = argv[1];
    if (const std::string problem = parseArguments(argc, argv, args); !problem.empty())
        return usageError(problem);
    if (args.command == "vxg") return saveImages(args, false);
    if (args.command == "text") return saveImages(args, true);
    if (args.command == "palette") return savePalette(args);
    if (args.command == "info") return showInfo(args);
    return usageError("unknown command '" + args.command + "'");
}
