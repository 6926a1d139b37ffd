// The cabinet format's limits, checked before a file is handed to the
// compressor: it neither refuses too long names with an error code nor stops
// short of the 16-bit file count, and at its size limit it starts another
// cabinet nobody asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ZelUt {
namespace cab {

// A name is stored with its terminator in a field of 256 bytes.
const size_t kLongestStoredName = 255;
// The header counts files (and, with one folder per file, folders) in 16 bits.
const unsigned kMostFiles = 65535;
const uint64_t kLargestCabinet = 0x80000000u;

// The room a file takes in the cabinet when stored as it is: its bytes, the
// header of every 32 KiB data block, its file entry and a folder entry.
uint64_t storedSize(uint64_t fileBytes, size_t nameBytes);

// Why one more file does not fit a cabinet that already holds `files` files
// taking `used` bytes; empty when it fits.
std::wstring limitProblem(uint64_t used, unsigned files, uint64_t fileBytes, size_t nameBytes);

} // namespace cab
} // namespace ZelUt
