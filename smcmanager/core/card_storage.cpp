// SPDX-License-Identifier: MIT
// What every card can do through the rest of the card interface: an entry's attributes from
// its folder's listing, and no rename or open files where the card offers none.
#include "smcmanager/card_storage.h"

#include "manager_text.h"

CardResult CardStorage::entry(const std::string& path, CardEntry& entry) {
    const std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos || slash + 1 >= path.size())
        return CardResult::failed("no entry", std::errc::invalid_argument);
    const std::string folder = slash <= 3 ? std::string("vx:\\") : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    std::vector<CardEntry> entries;
    if (CardResult listed = list(folder, CardListing::Files, entries); !listed) return listed;
    for (CardEntry& candidate : entries) {
        if (SameNameNoCase(candidate.name, name)) {
            entry = std::move(candidate);
            return CardResult::ok();
        }
    }
    return {CardResult::Code::NotFound, "", {}, std::errc::no_such_file_or_directory};
}

CardResult CardStorage::rename(const std::string&, const std::string&) {
    return {CardResult::Code::Unsupported, "", {}, std::errc::not_supported};
}

std::unique_ptr<CardFile> CardStorage::openFile(const std::string&, bool, CardResult& result) {
    result = {CardResult::Code::Unsupported, "", {}, std::errc::not_supported};
    return nullptr;
}
