// SPDX-License-Identifier: MIT
// Which machine a user names, in the words vela-smc and vela-devtool share: "usb" or
// "usb:VVVV:PPPP" for the machine on the USB cable, "sim:FOLDER" for the simulated machine
// serving FOLDER in this process, "unix:PATH" for a machine served on a socket.
#pragma once

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>

#include <memory>
#include <string>

// True when text names a machine rather than a card image.
bool namesMachine(const std::string& text);

// A link to a named machine, with the simulated machine it talks to for "sim:" (which must
// outlive the link).
struct MachineConnection {
    std::unique_ptr<SimMachine> simulated;
    std::unique_ptr<DeviceLink> link;
};

// The link for name (not connected yet). False, with the reason in failure, when name names
// no machine or "sim:" names no folder.
bool linkForMachine(const std::string& name, MachineConnection& connection, std::string& failure);
