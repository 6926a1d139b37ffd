// The cabinet's own tables, read with range checks before the system's
// decompressor sees them: a header, folder or file table that runs past the
// cabinet, zero folders or files, or a file in a folder that does not exist
// makes the decompressor read outside its buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ZelUt {
namespace cab {

// Reads length bytes at a position relative to the cabinet's start; false
// when they are not all there.
using CabinetReader = std::function<bool(uint64_t at, void* out, size_t length)>;

// What is wrong with the tables of the cabinet whose first available bytes
// the reader gives (the cabinet starts with "MSCF"); empty when they are sound.
std::wstring cabinetTableProblem(uint64_t available, const CabinetReader& read);

} // namespace cab
} // namespace ZelUt
