// SPDX-License-Identifier: MIT
// A file that takes the place of another only once it is whole. The new bytes go to a
// temporary file beside the target ("." + name + ".vela-part", locked like an image being
// created), and commit() syncs it and renames it over the target. Until then the target is
// as it was: a write that fails half-way (a full disk, a file size limit), a cancel or a
// crash leaves the file the user had, and the temporary file is removed when the object
// goes without a commit.
//
// An existing target is held under a writer's lock while it is replaced, so an image open
// in the manager or a mount is refused (Locked) and never replaced under it. A target that
// is a symbolic link is replaced where the link points; a replaced file keeps its
// permissions. A target that is a device rather than a regular file cannot be renamed over:
// started as a copy it is written in place, as an image on a device always was.
#pragma once

#include "common/image_file.h"

#include <cstdint>
#include <filesystem>

class ReplacementFile {
public:
    enum class Start : std::uint8_t {
        Empty,        // a new file (the target may be absent)
        CopyOfTarget, // the target's bytes, to be changed (the target must exist)
    };

    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Locks the target, makes the temporary file and, for CopyOfTarget, copies the target
    // into it. Locked when the target is in use; OpenFailed when a step failed (lastError()
    // has the system's error number when a read or write did), with nothing left behind.
    [[nodiscard]] ImageFile::Status open(const std::filesystem::path& target, Start start);

    // The new file, for reads and writes (a card on it, an export, ...).
    ImageFile& file() { return file_; }

    // Syncs and closes the new file and renames it over the target. False when a step
    // failed (lastError()): the target is then as it was and the temporary file is gone.
    [[nodiscard]] bool commit();

    // The system's error number of the last failed step or file call (0 when none failed).
    int lastError() const { return error_ != 0 ? error_ : file_.lastError(); }

private:
    void discard();

    std::filesystem::path target_;
    std::filesystem::path temporary_; // empty when the target is written in place
    ImageFile held_;                  // the existing target, locked while it is replaced
    ImageFile file_;
    int error_ = 0;
};
