// SPDX-License-Identifier: MIT
// The machine a user names, made into a link: the one reading of machine names for every
// tool.
#include "smcmanager/machine_names.h"

#include <devicelink/transport.h>

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

bool namesMachine(const std::string& text) {
    return text == "usb" || startsWith(text, "usb:") || startsWith(text, "sim:") ||
           startsWith(text, "unix:");
}

bool linkForMachine(const std::string& name, MachineConnection& connection, std::string& failure) {
    std::unique_ptr<LinkTransport> transport;
    if (startsWith(name, "sim:")) {
        if (name.size() == 4) {
            failure = "sim: needs a folder";
            return false;
        }
        connection.simulated = std::make_unique<SimMachine>(name.substr(4));
        transport = makeSimTransport(*connection.simulated);
    } else {
        transport = makeTransport(name, false);
    }
    if (!transport) {
        failure = "'" + name + "' names no machine";
        return false;
    }
    connection.link = std::make_unique<DeviceLink>(std::move(transport));
    return true;
}
