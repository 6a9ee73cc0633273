// SPDX-License-Identifier: MIT
// The vela-smc commands that go through the manager core: opening the card (image or
// machine), listing, the tree, copies both ways with the clash policy, folders, deletion,
// space, format and new images. The core makes every card decision and speaks every
// message; this file only turns the command line into the core's calls and checks names
// that already exist before anything is copied.
#include "vela_smc.h"

#include <devicelink/device_link.h>
#include <smcmanager/card_tables.h>
#include <smcmanager/machine_names.h>
#include <smcmanager/smc_manager.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Folders below this depth cannot be named by a card path of 255 characters.
constexpr int kMaxDepth = 128;

std::string joinCard(const std::string& folder, const std::string& name) {
    return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

std::string parentOf(const std::string& cardPath) {
    const std::size_t slash = cardPath.rfind('\\');
    return slash <= 3 ? std::string("vx:\\") : cardPath.substr(0, slash);
}

std::string lastOf(const std::string& cardPath) {
    return cardPath.substr(cardPath.rfind('\\') + 1);
}

bool isRoot(const std::string& cardPath) {
    return cardPath == "vx:\\";
}

// The card the command names, opened through the core, with the terminal user.
class Session {
public:
    explicit Session(bool progressBar) : ui_(progressBar) {}
    ~Session() {
        manager_.reset(); // the link goes before the simulated machine it talks to
    }

    TerminalUi& ui() { return ui_; }
    SmcManager& manager() { return *manager_; }
    // Makes the card's formats full ones, the format offered by the open included.
    void setFullFormat(bool full) { fullFormat_ = full; }

    // Opens the card: kExitOk, kExitFailed (messages kept) or kExitUsage.
    int open(const std::string& card) {
        if (!namesMachine(card)) {
            manager_ = std::make_unique<SmcManager>(ui_, nullptr);
            manager_->setFullFormat(fullFormat_);
            if (manager_->openImage(card)) return kExitOk;
            if (manager_->imageInUse()) {
                ui_.discard();
                ui_.showMessage(imageOpenFailure(card, true));
            }
            if (ui_.formatOffered() && ui_.messageCount() == 0) ui_.showMessage("unformatted SMC");
            return kExitFailed;
        }
        MachineConnection connection;
        std::string failure;
        if (!linkForMachine(card, connection, failure)) return usageError(failure);
        machine_ = std::move(connection.simulated);
        manager_ = std::make_unique<SmcManager>(ui_, std::move(connection.link));
        if (machine_) manager_->setMachineFolder(machine_->cardFolder());
        return manager_->connectMachine() ? kExitOk : kExitFailed;
    }

    // Lists a card folder; false when the listing failed (its message kept).
    bool list(const std::string& folder, std::vector<ListItem>& items) {
        const std::size_t before = ui_.messageCount();
        manager_->setCardPath(folder);
        manager_->listCardFolder();
        items = manager_->cardItems();
        return ui_.messageCount() == before;
    }

    // Finds the entry a card path names by listing its parent (cached per parent).
    // Returns false when the parent could not be listed; *item is nullptr when not there.
    bool find(const std::string& cardPath, const ListItem** item) {
        const std::string parent = parentOf(cardPath);
        auto cached = listings_.find(parent);
        if (cached == listings_.end()) {
            std::vector<ListItem> items;
            if (!list(parent, items)) return false;
            cached = listings_.emplace(parent, std::move(items)).first;
        }
        *item = nullptr;
        // A name as stored first: two entries may differ only in letter case.
        const std::string name = lastOf(cardPath);
        for (const ListItem& candidate : cached->second)
            if (candidate.caption == name) *item = &candidate;
        for (const ListItem& candidate : cached->second)
            if (!*item && lowerAscii(candidate.caption) == lowerAscii(name)) *item = &candidate;
        return true;
    }

    // The core's selection entry for a card path (a folder's ends in "\"), with the item
    // found; false with its message when the path names nothing, or a folder without -r.
    bool selectionEntry(const std::string& cardPath, const std::string& arg, bool recursive,
                        const ListItem** item, std::string* entry) {
        if (!find(cardPath, item)) return false;
        if (!*item) {
            ui_.showMessage(arg + ": no such file or folder on the card");
            return false;
        }
        const bool folder = (*item)->data == kItemFolder;
        if (folder && !recursive) {
            ui_.showMessage(arg + ": is a folder (use -r)");
            return false;
        }
        *entry = joinCard(parentOf(cardPath), (*item)->caption);
        if (folder) *entry += "\\";
        return true;
    }

    // The end of a copy: interrupted by a signal, 128 and its number once the partial file
    // is gone.
    int finishCopy(bool ok) {
        const int signal = stopSignal();
        const int code = finish(ok && signal == 0);
        return signal != 0 ? 128 + signal : code;
    }

    int finish(bool ok) {
        // A failed read or write of the image file: the system says why ("No space left on
        // device") below the manager's own message.
        if (!ok && manager_ && manager_->imageError() != 0)
            ui_.showMessage(std::string("virtual SMC file: ") +
                            std::strerror(manager_->imageError()));
        ui_.flush(ok);
        return ok ? kExitOk : kExitFailed;
    }

private:
    TerminalUi ui_;
    std::unique_ptr<SimMachine> machine_;
    std::unique_ptr<SmcManager> manager_;
    bool fullFormat_ = false;
    std::map<std::string, std::vector<ListItem>> listings_;
};

// The card paths among arguments [first, last); false (usage error printed) at a bad one.
bool cardPathArgs(const Options& o, std::size_t first, std::size_t last,
                  std::vector<std::string>& paths) {
    for (std::size_t i = first; i < last; ++i) {
        std::string path;
        if (!toCardPath(o.args[i], path) || isRoot(path)) {
            usageError("bad card path '" + o.args[i] + "'");
            return false;
        }
        paths.push_back(path);
    }
    return true;
}

bool progressWanted() {
    return isatty(STDERR_FILENO) != 0;
}

std::string pcFolderArg(std::string text) {
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text.empty() ? "." : text;
}

// ---- Listing ----

// The exact size comes with the entry from the listing, so an entry under any stored name
// shows it, and a long folder is not searched again for every name.
std::string sizeText(const ListItem& item) {
    return item.data == kItemFolder ? "-" : std::to_string(item.sizeBytes);
}

void printItem(const ListItem& item, bool longList) {
    const std::string name = printable(item.caption) + (item.data == kItemFolder ? "/" : "");
    if (longList)
        std::printf("%-6s %10s %16s  %s\n", item.type.c_str(), sizeText(item).c_str(),
                    item.modified.c_str(), name.c_str());
    else
        std::printf("%s\n", name.c_str());
}

bool listTree(Session& s, const std::string& folder, bool longList, bool recursive, int depth) {
    std::vector<ListItem> items;
    if (!s.list(folder, items)) return false;
    if (recursive) std::printf("%s%s:\n", depth == 0 ? "" : "\n", printable(folder).c_str());
    for (const ListItem& item : items) {
        printItem(item, longList);
        if (item.foreignName)
            report(printable(joinCard(folder, item.caption)) +
                   ": stored name is no 8.3 name the card accepts (check --repair renames it)");
    }
    if (!recursive || depth + 1 >= kMaxDepth) return true;
    bool ok = true;
    for (const ListItem& item : items)
        if (item.data == kItemFolder)
            ok = listTree(s, joinCard(folder, item.caption), longList, true, depth + 1) && ok;
    return ok;
}

bool printTree(Session& s, const std::string& folder, const std::string& indent, int depth) {
    std::vector<ListItem> items;
    if (!s.list(folder, items)) return false;
    bool ok = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ListItem& item = items[i];
        const bool last = i + 1 == items.size();
        const bool folderItem = item.data == kItemFolder;
        std::printf("%s%s%s%s\n", indent.c_str(), last ? "`-- " : "|-- ",
                    printable(item.caption).c_str(), folderItem ? "/" : "");
        if (folderItem && depth + 1 < kMaxDepth)
            ok = printTree(s, joinCard(folder, item.caption), indent + (last ? "    " : "|   "),
                           depth + 1) &&
                 ok;
    }
    return ok;
}

} // namespace

int runList(const Options& o) {
    if (o.args.empty() || o.args.size() > 2) return usageError("ls takes CARD [CARDPATH]");
    std::string path = "vx:\\";
    if (o.args.size() == 2 && !toCardPath(o.args[1], path))
        return usageError("bad card path '" + o.args[1] + "'");
    Session s(false);
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    if (!isRoot(path)) {
        const ListItem* item = nullptr;
        if (!s.find(path, &item)) return s.finish(false);
        if (!item) {
            s.ui().showMessage(o.args[1] + ": no such file or folder on the card");
            return s.finish(false);
        }
        if (item->data != kItemFolder) {
            const ListItem copy = *item;
            printItem(copy, o.longList);
            return s.finish(true);
        }
    }
    return s.finish(listTree(s, path, o.longList, o.recursive, 0));
}

int runTree(const Options& o) {
    if (o.args.size() != 1) return usageError("tree takes CARD");
    Session s(false);
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    std::printf("vx:\\\n");
    return s.finish(printTree(s, "vx:\\", "", 0));
}

int runPut(const Options& o) {
    if (o.args.size() < 3) return usageError("put takes CARD PCPATH... CARDFOLDER");
    catchStopSignals();
    std::string dest;
    if (!toCardPath(o.args.back(), dest))
        return usageError("bad card path '" + o.args.back() + "'");
    Session s(progressWanted());
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    if (!isRoot(dest)) {
        const ListItem* item = nullptr;
        if (!s.find(dest, &item)) return s.finish(false);
        if (!item || item->data != kItemFolder) {
            s.ui().showMessage(o.args.back() + ": no such folder on the card");
            return s.finish(false);
        }
    }
    std::vector<ListItem> existing;
    if (!s.list(dest, existing)) return s.finish(false);

    std::vector<std::string> list;
    for (std::size_t i = 1; i + 1 < o.args.size(); ++i) {
        std::string pc = o.args[i];
        while (pc.size() > 1 && pc.back() == '/')
            pc.pop_back();
        std::error_code error;
        const bool folder = fs::is_directory(pc, error);
        if (folder && !o.recursive) {
            s.ui().showMessage(pc + ": is a folder (use -r)");
            return s.finish(false);
        }
        const std::string name = lowerAscii(fs::path(pc).filename().string());
        const auto clash = std::find_if(existing.begin(), existing.end(), [&](const ListItem& it) {
            return lowerAscii(it.caption) == name;
        });
        if (clash != existing.end()) {
            const std::string cardPath = joinCard(dest, clash->caption);
            if (o.skip) continue;
            if (!o.overwrite) {
                s.ui().showMessage(cardPath + " already exists (use --overwrite or --skip)");
                return s.finish(false);
            }
            // The core replaces a file once the new one is whole, copies a folder into the
            // folder there, and refuses a file over a folder and a folder over a file.
        }
        list.push_back(folder ? pc + "/" : pc);
    }
    s.ui().setReplace(o.overwrite);
    s.ui().progress().showProgress();
    const bool ok = s.manager().copyToCard(dest, list);
    s.ui().progress().hideProgress();
    return s.finishCopy(ok);
}

int runGet(const Options& o) {
    if (o.args.size() < 3) return usageError("get takes CARD CARDPATH... PCFOLDER");
    catchStopSignals();
    std::vector<std::string> paths;
    if (!cardPathArgs(o, 1, o.args.size() - 1, paths)) return kExitUsage;
    const std::string target = pcFolderArg(o.args.back());
    Session s(progressWanted());
    std::error_code error;
    if (!fs::is_directory(target, error)) {
        s.ui().showMessage(target + ": no such folder on the PC");
        return s.finish(false);
    }
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;

    std::vector<std::string> list;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const ListItem* item = nullptr;
        std::string entry;
        if (!s.selectionEntry(paths[i], o.args[i + 1], o.recursive, &item, &entry))
            return s.finish(false);
        const fs::path pcTarget = fs::path(target) / lowerAscii(item->caption);
        if (fs::exists(fs::symlink_status(pcTarget, error))) {
            if (o.skip) continue;
            if (!o.overwrite) {
                s.ui().showMessage(pcTarget.string() +
                                   " already exists (use --overwrite or --skip)");
                return s.finish(false);
            }
        }
        list.push_back(entry);
    }
    s.ui().setReplace(o.overwrite);
    s.ui().progress().showProgress();
    const bool ok = s.manager().copyToPc(target, list);
    s.ui().progress().hideProgress();
    return s.finishCopy(ok);
}

int runMkdir(const Options& o) {
    if (o.args.size() != 2) return usageError("mkdir takes CARD CARDPATH");
    std::string path;
    if (!toCardPath(o.args[1], path) || isRoot(path))
        return usageError("bad card path '" + o.args[1] + "'");
    Session s(false);
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    return s.finish(s.manager().makeCardFolder(path));
}

int runRemove(const Options& o) {
    if (o.args.size() < 2) return usageError("rm takes CARD CARDPATH...");
    std::vector<std::string> paths;
    if (!cardPathArgs(o, 1, o.args.size(), paths)) return kExitUsage;
    Session s(false);
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    std::vector<std::string> list;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const ListItem* item = nullptr;
        std::string entry;
        if (!s.selectionEntry(paths[i], o.args[i + 1], o.recursive, &item, &entry))
            return s.finish(false);
        list.push_back(entry);
    }
    return s.finish(s.manager().deleteCardItems(list));
}

int runSpace(const Options& o) {
    if (o.args.size() != 1) return usageError("df takes CARD");
    Session s(false);
    if (const int opened = s.open(o.args[0]); opened != kExitOk) return s.finish(false), opened;
    SmcManager& m = s.manager();
    if (m.storageKind() != StorageKind::VirtualCard) {
        s.ui().showMessage("the SMC in the machine reports no size information");
        return s.finish(false);
    }
    const auto line = [](const char* what, std::uint64_t bytes) {
        std::printf("%-5s %12llu bytes %9llu KB\n", what, static_cast<unsigned long long>(bytes),
                    static_cast<unsigned long long>(bytes >> 10));
    };
    line("total", m.totalSize());
    line("used", m.usedSize());
    line("free", m.freeSize());
    return s.finish(true);
}

int runFormat(const Options& o) {
    if (o.args.size() != 1) return usageError("format takes CARD");
    Session s(false);
    s.ui().setFormatOffer(true);
    s.setFullFormat(o.full);
    const int opened = s.open(o.args[0]);
    if (opened == kExitUsage) return opened;
    // An unformatted image is formatted by the open itself, when the core offers it.
    if (s.ui().formatOffered()) return s.finish(opened == kExitOk);
    if (opened != kExitOk) return s.finish(false);
    // A machine with an unformatted card complains while its root is listed; the format
    // that follows is the answer to that.
    s.ui().discard();
    if (o.full && s.manager().storageKind() != StorageKind::VirtualCard) {
        s.ui().showMessage("--full is for card images: the machine formats its card itself");
        return s.finish(false);
    }
    s.ui().progress().showProgress();
    const bool ok = s.manager().formatOpenCard();
    s.ui().progress().hideProgress();
    return s.finish(ok);
}

namespace {

// The card type a new image is made of (--vendor and --size, or --create's values); false,
// with the usage error printed, for a vendor or size not offered.
bool cardTypeOf(const Options& o, int& vendor, int& sizeIndex) {
    const std::string vendorName = lowerAscii(o.vendor);
    vendor = vendorName == "samsung" ? 0 : vendorName == "toshiba" ? 1 : -1;
    if (vendor < 0) return usageError("the vendor must be samsung or toshiba"), false;
    sizeIndex = -1;
    for (int i = 0; i < kSizeCount; ++i)
        if (o.size == std::to_string(kOfferedSizesMb[std::size_t(i)])) sizeIndex = i;
    if (sizeIndex < 0) return usageError("the size must be 1, 2, 4, 8, 16, 32, 64 or 128"), false;
    return true;
}

} // namespace

int runCreate(const Options& o) {
    if (o.args.size() != 1) return usageError("create takes IMAGE");
    int vendor = -1, sizeIndex = -1;
    if (!cardTypeOf(o, vendor, sizeIndex)) return kExitUsage;
    const std::string& image = o.args[0];
    std::error_code error;
    if (fs::exists(fs::symlink_status(image, error)) && !o.overwrite) {
        report(image + " already exists (use --overwrite to replace it)");
        return kExitFailed;
    }
    switch (createVirtualImage(image, vendor, sizeIndex)) {
    case ImageCreateResult::Ok:
        break;
    case ImageCreateResult::BadChoice:
    case ImageCreateResult::CreateFailed:
        report("filed to create a virtual SMC file.");
        return kExitFailed;
    case ImageCreateResult::WriteFailed:
        report("failed to create virtual SMC.");
        return kExitFailed;
    }
    if (!o.format) return kExitOk;
    Session s(false);
    s.ui().setFormatOffer(true);
    return s.finish(s.open(image) == kExitOk);
}

int runClone(const Options& o) {
    if (o.args.size() != 2) return usageError("clone takes SOURCE TARGET");
    catchStopSignals();
    int vendor = -1, sizeIndex = -1;
    if (o.create && !cardTypeOf(o, vendor, sizeIndex)) return kExitUsage;
    const std::string& from = o.args[0];
    const std::string& to = o.args[1];
    std::error_code error;
    const bool newImage = !namesMachine(to) && !fs::exists(fs::symlink_status(to, error));
    if (from == to || (!namesMachine(from) && !namesMachine(to) && fs::equivalent(from, to, error)))
        return usageError("SOURCE and TARGET are the same card");
    if (newImage && !o.create) {
        report(to + ": no such card image (use --create VENDOR SIZE)");
        return kExitFailed;
    }
    Session source(false);
    if (const int opened = source.open(from); opened != kExitOk)
        return source.finish(false), opened;
    source.ui().discard();

    // A new image is made under a temporary name and takes TARGET's name once it is whole.
    const fs::path target = fs::absolute(to, error);
    const std::string image =
        newImage
            ? (target.parent_path() / ("." + target.filename().string() + ".vela-part")).string()
            : to;
    if (newImage && createVirtualImage(image, vendor, sizeIndex) != ImageCreateResult::Ok) {
        fs::remove(image, error);
        report("filed to create a virtual SMC file.");
        return kExitFailed;
    }
    Session s(progressWanted());
    s.ui().setFormatOffer(newImage);
    const int opened = s.open(image);
    bool ok = opened == kExitOk;
    if (ok) {
        s.ui().discard(); // how the new image's format went: nothing to show
        CardStorage& card = *source.manager().storage();
        std::vector<CardEntry> entries, existing;
        const auto listed = [&](const CardResult& result) {
            for (const std::string& note : result.notes)
                s.ui().showMessage(note);
            if (!result && !result.message.empty()) s.ui().showMessage(result.message);
            return bool(result);
        };
        ok = listed(card.list(kCardRoot, CardListing::Walk, entries)) &&
             listed(s.manager().storage()->list(kCardRoot, CardListing::Walk, existing));
        std::vector<std::string> list;
        for (const CardEntry& entry : entries) {
            if (!ok) break;
            const auto clash =
                std::find_if(existing.begin(), existing.end(), [&](const CardEntry& e) {
                    return lowerAscii(e.name) == lowerAscii(entry.name);
                });
            if (clash != existing.end() && o.skip) continue;
            const std::string shown = "'" + lowerAscii(printable(entry.name)) + "'";
            if (clash != existing.end() && !o.overwrite) {
                s.ui().showMessage("vx:\\" + lowerAscii(printable(clash->name)) +
                                   " already exists (use --overwrite or --skip)");
                ok = false;
            } else if (clash != existing.end() && clash->folder != entry.folder) {
                // As with put: a file never replaces a folder, nor a folder a file.
                s.ui().showMessage(
                    clash->folder ? "cannot replace folder " + shown + " on the card with a file."
                                  : "cannot replace file " + shown + " on the card with a folder.");
                ok = false;
            }
            list.push_back(kCardRoot + entry.name + (entry.folder ? "\\" : ""));
        }
        s.ui().setReplace(o.overwrite);
        s.ui().progress().showProgress();
        ok = ok && s.manager().copyFromCard(card, kCardRoot, list);
        s.ui().progress().hideProgress();
    }
    if (newImage) {
        // The image was synced by the copy; the open image keeps its lock under either name.
        if (ok && ::link(image.c_str(), target.c_str()) != 0) {
            s.ui().showMessage(to + ": " + std::strerror(errno));
            ok = false;
        }
        fs::remove(image, error);
    }
    if (opened == kExitUsage) return opened;
    return s.finishCopy(ok);
}
