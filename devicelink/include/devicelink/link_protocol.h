// SPDX-License-Identifier: MIT
// The 'PC-Link' protocol in one place: the codes of commands and replies, where each field
// of a frame lies, and the limits both ends keep to. The PC side (DeviceLink) and the
// simulated machine are both written against this header, so the two cannot drift apart.
//
// Every frame is 256 bytes in both directions. The PC sends command frames (byte 0 the
// code), string frames (byte 0 the length, then the text and a zero), value frames (a u32
// at byte 0) and data frames (file bytes, zero-padded). Replies carry their code in byte 0,
// except the size reply and the chunk header of a file read and its data packets. Numbers
// are little-endian and read and written with common/le_bytes.h.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Sizes and limits ----
inline constexpr std::uint32_t kFrameBytes = 256;
inline constexpr std::uint32_t kMaxTextBytes = 254;        // a string frame's text
inline constexpr std::uint32_t kChunkDefault = 0x40000;    // bytes per chunk sent, firmware 1.5+
inline constexpr std::uint32_t kChunkOldFirmware = 0x8000; // before firmware 1.5
inline constexpr std::uint32_t kLargestCardBytes = 128u << 20;
inline constexpr std::size_t kMaxListEntries = 65536; // as many as a FAT folder can hold
inline constexpr std::size_t kMaxEntryName = 12;      // an 8.3 name

// Time limits, in the protocol's whole seconds.
inline constexpr std::uint32_t kWriteLimit = 5;
inline constexpr std::uint32_t kConnectLimit = 5;
inline constexpr std::uint32_t kReplyLimit = 40;
inline constexpr std::uint32_t kMakeFolderLimit = 60;
inline constexpr std::uint32_t kRemoveLimit = 120;
inline constexpr std::uint32_t kFormatLimit = 60; // what the manager passes to FormatCard

// ---- Codes ----
// Byte 0 of a command frame, PC to machine.
enum class LinkCommand : std::uint8_t {
    Next = 0x03, // acknowledges a listing entry or a data packet
    Disconnect = 0x10,
    Connect = 0x40,
    GetFile = 0x70,
    GetChunk = 0x71, // asks for the next chunk header
    GetData = 0x72,  // asks for the chunk's first packet
    GetEnd = 0x73,   // ends a file read
    Format = 0x80,
    ListFolders = 0x90,
    ListFiles = 0x95,
    MakeFolder = 0xA0,
    RemoveFolder = 0xB0,
    RemoveFile = 0xC0,
    PutFile = 0xD0,
};

// Byte 0 of a reply frame, machine to PC.
enum class LinkReply : std::uint8_t {
    Connected = 0x41,
    FormatStarted = 0x81,
    FormatDone = 0x82,
    FolderEntry = 0x91,
    FolderEnd = 0x92,
    FileEntry = 0x96,
    FileEnd = 0x97,
    FolderMade = 0xA1,
    FolderRemoved = 0xB1,
    FileRemoved = 0xC1,
    PutFolderOk = 0xD1,
    PutReady = 0xD2, // ready for a chunk length or the end marker
    PutChunkOk = 0xD3,
    PutDone = 0xD4,
    PutNameOk = 0xD7,
    Unformatted = 0xF1,
    NoPath = 0xFE,
    DeviceError = 0xFF,
};

constexpr std::uint8_t code(LinkCommand command) {
    return static_cast<std::uint8_t>(command);
}
constexpr std::uint8_t code(LinkReply reply) {
    return static_cast<std::uint8_t>(reply);
}

// ---- Frame layouts (byte offsets) ----
// String frame: the length, then the text, then a zero.
inline constexpr std::size_t kStringLength = 0;
inline constexpr std::size_t kStringText = 1;
// Value frame, size reply of a file read: a u32. Chunk header of a file read: a u16.
inline constexpr std::size_t kValue = 0;

// Connect reply: the first kInfoBytes are the machine's description.
inline constexpr std::size_t kInfoBytes = 24;
inline constexpr std::size_t kInfoName = 1; // eight bytes of the machine's name
inline constexpr std::size_t kInfoFirmwareMinor = 13;
inline constexpr std::size_t kInfoFirmwareMajor = 15;

// Listing entry: kind, name length, name; file listings then add the tail below.
inline constexpr std::size_t kEntryKind = 1;
inline constexpr std::size_t kEntryNameLength = 2;
inline constexpr std::size_t kEntryName = 3;
// The file tail, from the end of the name: size (u32), then year, month, day, hour and
// minute (u16 each).
inline constexpr std::size_t kTailSize = 0;
inline constexpr std::size_t kTailYear = 4;
inline constexpr std::size_t kTailMonth = 6;
inline constexpr std::size_t kTailDay = 8;
inline constexpr std::size_t kTailHour = 10;
inline constexpr std::size_t kTailMinute = 12;
inline constexpr std::size_t kTailBytes = 14;
