// SID text, read and written without the system: "S-1-" (either case), the
// identifier authority in decimal (below 2^32) or as "0x" and one to twelve
// hex digits, then at most 15 sub-authorities, each a '-' and a decimal number
// below 2^32; nothing before or after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZelUt {

const size_t kMostSubAuthorities = 15;

struct SidFields {
    uint8_t authority[6] = {};  // big-endian, as the SID holds it
    std::vector<uint32_t> subAuthorities;
    bool operator==(const SidFields& other) const;
};

// False when the text is not wholly a SID in that form: a number too large
// for its field or a sixteenth sub-authority never yields some other SID.
bool sidFromText(const std::wstring& text, SidFields& sid);

// The authority in decimal when its first two bytes are 0, else "0x" and its
// six bytes in lower-case hex; then each sub-authority in decimal.
std::wstring sidText(const SidFields& sid);

} // namespace ZelUt
