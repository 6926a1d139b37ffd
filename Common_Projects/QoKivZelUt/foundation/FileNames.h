// What the file system makes of one part of a path: pure text, no system calls.
#pragma once

#include <string>

namespace ZelUt {

// Why the file system would refuse this one part of a name (no separators in
// it), or store or open it as something else (a device name, trailing dots
// and blanks); null when it is a plain file name.
const wchar_t* fileNamePartProblem(const std::wstring& part);

} // namespace ZelUt
