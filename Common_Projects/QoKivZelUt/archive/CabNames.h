// Pure pieces of the cabinet extractor: entry names, error texts, the
// attached-cabinet scan and positions relative to the cabinet's start.
#pragma once

#include <cstdint>
#include <string>

namespace ZelUt {
namespace cab {

// The name as a path below the destination ("\" separators, "." and ".."
// resolved) in `relative` and an empty result; otherwise why no file can be
// written where the name says: it is absolute, carries a drive, UNC or stream
// prefix, climbs out of the destination, holds characters or parts that the
// file system refuses or would silently change (device names, trailing dots
// and blanks, control characters).
std::wstring entryPathProblem(const std::wstring& name, std::wstring& relative);

extern const wchar_t* const kLeavesDestination;

// The text of an FDI operation error code.
const wchar_t* fdiErrorText(int code);

// The first position where "MSCF" lies wholly inside [from, to), or -1.
long long findCabinetSignature(const unsigned char* data, uint64_t from, uint64_t to);

// A position in the archive file seen from the cabinet's start; a position
// before the cabinet is clamped to it (moveToStart set).
long cabinetPosition(long filePosition, unsigned long offset, bool& moveToStart);

} // namespace cab
} // namespace ZelUt
