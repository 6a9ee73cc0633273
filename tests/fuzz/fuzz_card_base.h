// Fuzz helper: small formatted card images with a few folders and files, built once per
// process in memory, and an image stream over a copy of one, so each input costs
// a copy of a megabyte or four instead of a file on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// A formatted card of cardType (0: small pages, 2: large pages) holding
//   vx:\README.TXT (300 bytes), vx:\GAMES\DEMO.BIN (three clusters and a bit),
//   vx:\GAMES\SUB\A.DAT (empty), vx:\GAMES\SUB\B.DAT (one byte), vx:\EMPTY\ .
// logToPhys receives, for each logical block, its physical block (0 when unmapped).
const std::vector<std::uint8_t>& fuzzBaseCard(int cardType,
                                              const std::vector<std::uint32_t>** logToPhys);

// Installs bytes (which must outlive the stream) as the library's image through a memory
// stream and initialises the library with a fixed clock. Returns the stream to close with
// fuzzRemoveImage.
std::FILE* fuzzInstallImage(std::vector<std::uint8_t>& bytes);
void fuzzRemoveImage(std::FILE* stream);
