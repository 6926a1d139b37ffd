// What the file system makes of one part of a path: pure text, no system calls.
#pragma once

#include <string>

namespace ZelUt {

// Why the file system would refuse this one part of a name (no separators in
// it), or store or open it as something else (a device name, trailing dots
// and blanks); null when it is a plain file name.
const wchar_t* fileNamePartProblem(const std::wstring& part);

// The longest directory the system's temporary-file call takes: its result, the
// directory, a backslash and a 12-character name, must fit MAX_PATH (260).
const size_t kLongestTempFileDirectory = 260 - 14;

} // namespace ZelUt
