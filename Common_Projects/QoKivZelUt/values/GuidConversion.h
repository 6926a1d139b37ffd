// GUID <-> the portable GUID fields.
#pragma once

#include "values/GuidText.h"

#include <guiddef.h>

#include <cstring>

namespace ZelUt {

inline GUID toGuid(const GuidFields& fields)
{
    GUID guid;
    guid.Data1 = fields.data1;
    guid.Data2 = fields.data2;
    guid.Data3 = fields.data3;
    std::memcpy(guid.Data4, fields.data4, 8);
    return guid;
}

inline GuidFields toFields(const GUID& guid)
{
    GuidFields fields;
    fields.data1 = guid.Data1;
    fields.data2 = guid.Data2;
    fields.data3 = guid.Data3;
    std::memcpy(fields.data4, guid.Data4, 8);
    return fields;
}

} // namespace ZelUt
