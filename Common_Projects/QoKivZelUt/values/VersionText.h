// Version numbers read from text, without the system: the product version's
// "N" or "N.M" and the file version's four 16-bit parts.
#pragma once

#include <cstdint>
#include <string>

namespace ZelUt {

// A product version's numbers and its build time (a FILETIME value, 0 for none).
struct ProductVersionValue {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint64_t buildTime = 0;
};

// The first run of decimal digits, optionally followed by "." and a second
// run: "N" gives minor N, "N.M" major N and minor M. Numbers too large for 32
// bits saturate at 4294967295. False when the text holds no decimal digit.
bool productVersionFromText(const std::wstring& text, ProductVersionValue& version);

// Three-way: major, then minor, then build time.
int compareProductVersions(const ProductVersionValue& left, const ProductVersionValue& right);

// A four-part file version; a part of 0xFFFF is "not set".
struct FileVersionValue {
    uint16_t parts[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};

    // All four parts below 0xFFFF.
    bool isValid() const;
    // Three-way: invalid versions are equal to each other and less than every valid one.
    int compare(const FileVersionValue& other) const;
};

// "a.b.c.d" read part by part: each part must convert wholly to 16 bits; from
// the first that does not (or is empty or missing), the parts stay unset.
FileVersionValue fileVersionFromText(const std::string& text);

} // namespace ZelUt
