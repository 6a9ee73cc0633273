// SPDX-License-Identifier: MIT
// The card tables of the SMC manager: the vendors and sizes offered for new card images,
// their SmartMedia identification codes, and how long the new image file is. Also the
// writer of a blank image, usable without a window.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

inline constexpr int kVendorCount = 2; // 0 Samsung, 1 Toshiba
inline constexpr int kSizeCount = 8;   // 1 MB to 128 MB
inline constexpr std::uint32_t kSmcImageHeaderBytes = 1024;
inline constexpr std::uint32_t kImageRecordBytes = 1024;
inline constexpr std::uint32_t kRecordsPerFillUnit = 1000;

inline constexpr std::array<const char*, kVendorCount> kVendorNames = {"Samsung", "Toshiba"};
inline constexpr std::array<std::uint8_t, kVendorCount> kMakerCodes = {0xEC, 0x98};
inline constexpr std::array<int, kSizeCount> kOfferedSizesMb = {1, 2, 4, 8, 16, 32, 64, 128};
inline constexpr std::array<std::array<std::uint8_t, kSizeCount>, kVendorCount> kDeviceCodes = {
    {{0x6E, 0xEA, 0xE3, 0xE6, 0x73, 0x75, 0x76, 0x79},
     {0x00, 0xEA, 0xE5, 0xE6, 0x73, 0x75, 0x76, 0x79}}};
inline constexpr std::array<std::uint32_t, kSizeCount> kImageFillUnits = {2,  3,  5,  9,
                                                                          17, 34, 66, 134};
// The shortest image the card library accepts for each size, header included.
inline constexpr std::array<std::uint64_t, kSizeCount> kMinimumImageBytes = {
    1082368, 2163712, 4326400, 8651776, 17302528, 34604032, 69207040, 138413056};

// The length of a new image file of a size index, header included.
std::uint64_t imageFileBytes(int sizeIndex);

enum class ImageCreateResult {
    Ok,
    BadChoice,    // vendor or size index out of range
    CreateFailed, // the file could not be created (or an image there is in use)
    WriteFailed,  // the header or a record was written short (nothing takes the name)
};

// Writes a blank card image for vendor and size index: the maker and device code, zeros to
// 1024 bytes, then records of 0xFF. The image takes path's name only when it is whole: on a
// failure a file that was there stays as it was. Returns the failing step.
[[nodiscard]] ImageCreateResult createVirtualImage(const std::filesystem::path& path, int vendor,
                                                   int sizeIndex);
