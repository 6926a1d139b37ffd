#include <QoKivZelUt/MsiProduct.h>

#include "foundation/Log.h"
#include "installer/MsiText.h"

bool ZelMsiRecord::Field::isNull() const
{
    return ::MsiRecordIsNull(m_record, m_index) != FALSE;
}

int ZelMsiRecord::Field::asInteger() const
{
    return ::MsiRecordGetInteger(m_record, m_index);
}

std::wstring ZelMsiRecord::Field::asString() const
{
    std::wstring text;
    UINT status = ZelUt::detail::fetchMsiString(
        [&](wchar_t* buffer, DWORD* size) { return ::MsiRecordGetStringW(m_record, m_index, buffer, size); },
        text);
    if (status != ERROR_SUCCESS) {
        ZEL_LOG_ERROR << L"::MsiRecordGetString() failed: " << ErrorW32(status);
        return std::wstring();
    }
    return text;
}

unsigned int ZelMsiRecord::fieldCount() const
{
    UINT count = ::MsiRecordGetFieldCount(m_record);
    // An invalid handle answers -1.
    return count == static_cast<UINT>(-1) ? 0 : count;
}

ZelMsiRecord::Field ZelMsiRecord::operator[](unsigned int i) const
{
    if (i >= fieldCount())
        throw CZelException(i, L"ZelMsiRecord::operator[] access out of range");
    return Field(m_record, i + 1);
}

std::wstring ZelMsiRecord::format() const
{
    std::wstring text;
    UINT status = ZelUt::detail::fetchMsiString(
        [&](wchar_t* buffer, DWORD* size) { return ::MsiFormatRecordW(0, m_record, buffer, size); }, text);
    if (status != ERROR_SUCCESS)
        throw CZelException(status, L"::MsiFormatRecord() failed.");
    return text;
}
