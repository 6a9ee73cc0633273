// SPDX-License-Identifier: MIT
// File-name splitters shared by the tools. They are plain text scans with no file system
// access; they accept any text and never fail. Folder separators are "\", ":" and, on this
// platform, "/".
#pragma once

#include <string>

// The drive and folder part of `path`, up to and including its last folder separator; the
// empty text for a bare file name.
std::string ExtractDirectory(const std::string& path);

// The file name of `path` without its folder and without anything from the first "." on.
std::string ExtractTitle(const std::string& path);

// The text after the last "." of `path`, or the whole text when it has no "."; the scan does
// not stop at a folder separator.
std::string ExtractExtension(const std::string& path);
