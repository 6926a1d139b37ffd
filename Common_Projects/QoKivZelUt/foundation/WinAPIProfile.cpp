#include <QoKivZelUt/WinAPI.h>

#include "ErrorText.h"

using ZelUt::detail::throwLastError;

namespace WinAPI {

namespace {

// Writes nothing but makes the system flush its cached copy of the file.
void flushProfileCache(const WinPath& file)
{
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.str().c_str());
}

} // namespace

std::wstring getPrivateProfileString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& defaultValue, const WinPath& file)
{
    std::wstring buffer(128, L'\0');
    for (;;) {
        DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(), &buffer[0],
                                           static_cast<DWORD>(buffer.size()), file.str().c_str());
        if (n < buffer.size() - 1) {
            buffer.resize(n);
            return buffer;
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

std::vector<std::wstring> getPrivateProfileKeys(const std::wstring& section, const WinPath& file)
{
    std::wstring buffer(1024, L'\0');
    for (;;) {
        DWORD n = GetPrivateProfileStringW(section.c_str(), nullptr, L"", &buffer[0], static_cast<DWORD>(buffer.size()),
                                           file.str().c_str());
        if (n + 2 < buffer.size()) {  // the list and its final terminator fit
            std::vector<std::wstring> keys;
            for (size_t at = 0; at < n && buffer[at];) {
                keys.emplace_back(&buffer[at]);
                at += keys.back().size() + 1;
            }
            return keys;
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

unsigned int getPrivateProfileInt(const std::wstring& section, const std::wstring& key, int defaultValue,
                                  const WinPath& file)
{
    return GetPrivateProfileIntW(section.c_str(), key.c_str(), defaultValue, file.str().c_str());
}

void writePrivateProfileString(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                               const WinPath& file)
{
    if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.str().c_str()))
        throwLastError(L"WinAPI::writePrivateProfileString() failed.");
    flushProfileCache(file);
}

void writePrivateProfileSection(const std::wstring& section, const std::vector<std::wstring>& lines,
                                const WinPath& file)
{
    std::wstring packed;
    for (const std::wstring& line : lines) {
        packed += line;
        packed += L'\0';
    }
    packed += L'\0';
    if (!WritePrivateProfileSectionW(section.c_str(), packed.c_str(), file.str().c_str()))
        throwLastError(L"WinAPI::writePrivateProfileSection() failed.");
    flushProfileCache(file);
}

} // namespace WinAPI
