// SPDX-License-Identifier: MIT
// Text helpers of the manager core.
#include "manager_text.h"

#include <common/path_names.h>

#include <algorithm>
#include <cstdio>

std::string LowerName(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return text;
}

bool PlainCardName(const std::string& stored) {
    return cardNameFit(stored) == CardNameFit::Fits &&
           std::none_of(stored.begin(), stored.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string CardCaption(const std::string& stored) {
    return PlainCardName(stored) ? LowerName(stored) : stored;
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && LowerName(a) == LowerName(b);
}

std::string JoinCardPath(const std::string& folder, const std::string& name) {
    if (folder == "vx:\\") return folder + name;
    return folder + "\\" + name;
}

std::string LastCardComponent(const std::string& path) {
    const std::size_t sep = path.rfind('\\');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string JoinPcPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string LastPcComponent(const std::string& path) {
    const std::size_t sep = path.rfind('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string FormatDate(int year, int month, int day, int hour, int minute) {
    char text[64];
    // "%0.4d" is a precision of 4 with a zero flag the precision overrides: "%.4d" prints
    // the same digits.
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2d %.2d:%.2d", year, month, day, hour, minute);
    return text;
}

bool SafePcName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

int CardFileImage(const std::string& name) {
    // A name without a dot has no extension, whatever its letters.
    if (name.find('.') == std::string::npos) return 5;
    const std::string extension = LowerName(ExtractExtension(name));
    if (extension == "qxc" || extension == "qxe") return 2;
    if (extension == "mp3") return 3;
    return 5;
}

std::string WithBackslash(const std::string& folder) {
    return !folder.empty() && folder.back() == '\\' ? folder : folder + "\\";
}

const char* CardNameProblem(CardNameFit fit) {
    return fit == CardNameFit::TooLong
               ? "longer than 8 characters, a dot and 3 characters"
               : "holds a space, a second dot or one of * ? \" < > | + , ; = [ ]";
}
