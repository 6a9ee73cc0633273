// SPDX-License-Identifier: MIT
// The platform edge of the device link: a transport that opens the machine's two pipes and
// carries one blocking transfer at a time on them. Three implementations exist: USB through
// libusb, a Unix-domain SOCK_SEQPACKET socket ("unix:PATH", one frame per message) and the
// in-process cable to the simulated machine (sim_machine.h). The link picks one when it is
// created; everything above this interface is the same for all of them.
//
// Transfers run on the IoWorker's thread only. cancel() may come from any thread and makes
// the transfer in flight (or the next one, if none is in flight yet) end at once; the worker
// clears it with clearCancel() before each request it starts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The results of every layer of the device link: the transports, the IoWorker and the
// protocol's operations. The values are the protocol's own result codes.
enum class LinkResult : int {
    Ok = 0,
    Timeout = -1,       // a frame was not moved in time; the link is not connected now
    Canceled = -3,      // a progress callback asked to stop, or cancel() ended a transfer
    IoFailed = -5,      // the transport failed (device or peer gone, no pipe open)
    BadReply = -9,      // wrong length, unexpected code, data not fitting
    ReadFailed = -13,   // a put's source could not give the file's bytes
    WriteFailed = -16,  // a get's sink could not keep the file's bytes
    Unformatted = -10,  // the card is not formatted
    NoDevice = -17,     // connect: the pipes could not both be opened
    DeviceError = -19,  // the machine answered 0xFF
    NoPath = -20,       // the machine answered 0xFE
    TextTooLong = -21,  // a path or name over 254 bytes; nothing was sent
    NoPermission = -22, // connect: the system refused access to the machine
};

// A short English description of a link result, for logs and the command line.
const char* linkResultText(LinkResult result);

using PipeHandle = int;
inline constexpr PipeHandle kInvalidPipe = -1;

// Why an OpenPipe returned kInvalidPipe.
enum class OpenFailure {
    NoDevice,     // no machine found, or it could not be opened for another reason
    NoPermission, // a machine is there but the system does not let this user open it
};

// The pipes of a machine in 'PC-Link' mode.
inline constexpr const char* kPipeIn = "PIPE00";
inline constexpr const char* kPipeOut = "PIPE02";

class LinkTransport {
public:
    virtual ~LinkTransport() = default;

    // Opens the named pipe; returns its handle, or kInvalidPipe when it cannot be opened.
    [[nodiscard]] virtual PipeHandle OpenPipe(const char* pipeName) = 0;
    // Why the last OpenPipe that returned kInvalidPipe failed.
    virtual OpenFailure lastOpenFailure() const { return OpenFailure::NoDevice; }
    // Closes a pipe from OpenPipe; never called while a transfer is in flight.
    virtual void ClosePipe(PipeHandle pipe) = 0;
    // One blocking write (out pipe) or read (in pipe) of length bytes; on Ok *transferred
    // holds the byte count (for a read it may exceed length when the frame was longer; only
    // length bytes are stored). IoFailed, or Canceled when cancel() ended it.
    [[nodiscard]] virtual LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer,
                                              std::uint32_t length, std::uint32_t* transferred) = 0;
    // Writes count frames of frameBytes each from frames, back to back, as count transfers
    // one after the other would, calling frameDone after each; *framesDone counts those
    // written. Stops at the first that fails. The default makes one transfer per frame; a
    // transport may keep several in flight so the cable never waits between frames.
    [[nodiscard]] virtual LinkResult writeFrames(PipeHandle pipe, std::uint8_t* frames,
                                                 std::uint32_t frameBytes, std::uint32_t count,
                                                 std::uint32_t* framesDone,
                                                 const std::function<void()>& frameDone);
    // How many acknowledgements of a read run (IoWorker::ReadAcked) may go out before the
    // frames they answer have been read, so that the peer never waits for them. Each end
    // still sees the same frames in the same order. Only a transport whose writes never wait
    // for the peer to read them may allow any, or both ends could wait for each other.
    virtual std::uint32_t acknowledgementsAhead() const { return 0; }
    // Makes the transfer in flight, or the next one, return kTransferCancelled soon.
    virtual void cancel() = 0;
    // Forgets an earlier cancel().
    virtual void clearCancel() = 0;
};

// Where the USB transport looks for the machine. A build given the machine's USB ids
// (VELA_USB_VENDOR_ID, VELA_USB_PRODUCT_ID) looks at that device only by default.
struct UsbOptions {
    bool verbose = false; // print the discovery lines on standard output
#ifdef VELA_USB_VENDOR_ID
    bool byId = true;
    std::uint16_t vendorId = VELA_USB_VENDOR_ID;
    std::uint16_t productId = VELA_USB_PRODUCT_ID;
#else
    bool byId = false; // only devices with this vendor and product id
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
#endif
};

// The USB transport over libusb-1.0. Never fails to construct; a missing device or
// library shows up as OpenPipe returning kInvalidPipe.
std::unique_ptr<LinkTransport> makeUsbTransport(const UsbOptions& options);
// The SOCK_SEQPACKET client transport; the peer listens at socketPath.
std::unique_ptr<LinkTransport> makeSocketTransport(std::string socketPath);

// Builds a transport from a user's choice: "usb", "usb:VVVV:PPPP" (hex ids) or "unix:PATH".
// Returns nullptr when the text names none of these.
std::unique_ptr<LinkTransport> makeTransport(std::string_view choice, bool verbose);

// The device interface class a machine in 'PC-Link' mode publishes, in the usual GUID
// layout. On this platform the class is recognised by the interface's shape instead: bulk
// IN as its first endpoint ("PIPE00") and bulk OUT as its third ("PIPE02").
struct LinkGuid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
inline constexpr LinkGuid LINK_INTERFACE_GUID = {
    0x00873FDF, 0x61A8, 0x11D1, {0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B}};
