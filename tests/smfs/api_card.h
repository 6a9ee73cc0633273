// Test helper for the public calls: a formatted card image driven only through
// <smfs/smfs.h>, with a fixed clock, and small helpers to write, read and list card files.
#pragma once

#include "card_image.h"

#include <smfs/smfs.h>
#include <smfs/tools.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// The clock every API test runs with: 2024-05-17 13:45:30.
SmfsDateTime apiTestClock();

// A blank image of a card type, installed, initialised through smfs_init and (unless told
// otherwise) quick-formatted through smfs_format.
class ApiCard {
public:
    explicit ApiCard(int cardType, bool format = true);
    ~ApiCard();
    ApiCard(const ApiCard&) = delete;
    ApiCard& operator=(const ApiCard&) = delete;

    CardImage& image() { return image_; }
    // Bytes of one cluster of the mounted volume.
    std::uint32_t clusterBytes() const;

private:
    CardImage image_;
};

// Distinct, position-dependent bytes, so a misplaced cluster shows.
std::vector<std::uint8_t> apiPattern(std::size_t size, unsigned seed);

// Creates (overwriting) a card file with the bytes, in pieces of at most pieceBytes.
SmfsResult apiWriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
                        std::uint32_t pieceBytes = 1u << 20);
// Reads a whole card file; the result of the first failing call, EndOfData counting as Ok.
SmfsResult apiReadFile(const std::string& path, std::vector<std::uint8_t>* bytes);
// Every name of a folder listing, in order ("." and ".." included).
std::vector<std::string> apiList(const std::string& path, SmfsResult* result = nullptr);
// An entry's date and time as "YYYY-MM-DD hh:mm:ss" (seconds from its two-second count).
std::string apiDateText(const SmfsEntryInfo& info);
// Free bytes of the mounted volume (a failing space query fails the test).
std::uint64_t apiFreeBytes();
// A check report's findings, one "<kind>: <text>" line each (for failure messages).
std::string apiFindingsText(const SmfsCheckReport& report);
