// File-name splitters shared by the tools: the title of a file (its name without folder and
// without anything from the first dot on) and the extension (the text after the last dot).
// Both accept any text and never fail. Folder separators are "\", ":" and, on this
// platform, "/".
#pragma once

#include <string>

// The file name of `path` without its folder and without anything from the first "." on.
std::string ExtractTitle(const std::string& path);

// The text after the last "." of `path`, or the whole text when it has no "."; the scan does
// not stop at a folder separator.
std::string ExtractExtension(const std::string& path);
