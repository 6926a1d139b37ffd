// CRC-32: carry-less multiplication where the processor has it, tables elsewhere.
#include <QoKivZelUt/FileHasher.h>

#include "integrity/Crc32Kernels.h"

namespace ZelUt {

unsigned long crc32(unsigned long previous, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t state = ~static_cast<uint32_t>(previous);
    const size_t folded = size & ~static_cast<size_t>(15);
    if (size >= 256 && detail::crc32WideCarrylessAvailable())
        state = detail::crc32WideCarryless(state, p, folded);
    else if (size >= 64 && detail::crc32CarrylessAvailable())
        state = detail::crc32Carryless(state, p, folded);
    else
        return ~detail::crc32Tables(state, p, size);
    p += folded;
    size -= folded;
    return ~detail::crc32Tables(state, p, size);
}

} // namespace ZelUt
