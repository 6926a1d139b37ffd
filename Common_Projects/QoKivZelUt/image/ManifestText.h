// What the resolver checks of a manifest's text before the system reads it.
#pragma once

#include <vector>

namespace ZelUt {

// Whether the text nests elements more than 256 deep (comments and processing
// instructions are no elements; an empty-element tag closes itself).
// Manifests nest a handful. Some systems' manifest parsers recurse per level
// and overflow their stack on a deeply nested one, taking the process with
// them: such a manifest is refused unread.
bool manifestNestsTooDeep(const std::vector<unsigned char>& text);

} // namespace ZelUt
