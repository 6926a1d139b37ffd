// Pure pieces of the cabinet extractor: entry names, error texts, the
// attached-cabinet scan and positions relative to the cabinet's start.
#pragma once

#include <cstdint>
#include <string>

namespace ZelUt {
namespace cab {

// The name as a path below the destination ("\" separators, "." and ".."
// resolved), or false when it is absolute, carries a drive, UNC or stream
// prefix, or climbs out of the destination.
bool relativeEntryPath(const std::wstring& name, std::wstring& relative);

// The text of an FDI operation error code.
const wchar_t* fdiErrorText(int code);

// The first position in [from, to) where "MSCF" starts, or -1.
long long findCabinetSignature(const unsigned char* data, uint64_t from, uint64_t to);

// A position in the archive file seen from the cabinet's start; a position
// before the cabinet is clamped to it (moveToStart set).
long cabinetPosition(long filePosition, unsigned long offset, bool& moveToStart);

} // namespace cab
} // namespace ZelUt
