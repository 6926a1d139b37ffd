#include "image/ManifestText.h"

#include <algorithm>

namespace ZelUt {

namespace {

const int kDeepestManifest = 256;

} // namespace

bool manifestNestsTooDeep(const std::vector<unsigned char>& text)
{
    int depth = 0, deepest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '<') {
            unsigned char next = text[i + 1];
            if (next == '/')
                --depth;
            else if (next != '?' && next != '!')
                deepest = std::max(deepest, ++depth);
        } else if (text[i] == '/' && text[i + 1] == '>') {
            --depth;
        }
    }
    return deepest > kDeepestManifest;
}

} // namespace ZelUt
