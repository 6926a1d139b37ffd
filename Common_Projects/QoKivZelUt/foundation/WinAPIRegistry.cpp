#include <QoKivZelUt/WinAPI.h>

#include "ErrorText.h"

#include <algorithm>
#include <cwctype>
#include <map>

using ZelUt::detail::throwStatus;

namespace WinAPI {

namespace {

const std::map<std::wstring, HKEY>& hiveTable()
{
    static const std::map<std::wstring, HKEY> table = {
        {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKCR", HKEY_CLASSES_ROOT},  {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},  {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKU", HKEY_USERS},          {L"HKEY_USERS", HKEY_USERS},
        {L"HKCC", HKEY_CURRENT_CONFIG}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {L"HKPD", HKEY_PERFORMANCE_DATA}, {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {L"HKDD", HKEY_DYN_DATA},      {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    };
    return table;
}

// Built at load, as the table is shared by every thread.
const auto& g_hiveTableAtLoad = hiveTable();

std::wstring upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

} // namespace

bool RegCloseKeyClass::isPredefined(HKEY key)
{
    static const HKEY predefined[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,     HKEY_LOCAL_MACHINE,
                                      HKEY_USERS,        HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG,
                                      HKEY_PERFORMANCE_TEXT, HKEY_PERFORMANCE_NLSTEXT};
    return std::find(std::begin(predefined), std::end(predefined), key) != std::end(predefined);
}

std::pair<HKEY, std::wstring> splitRegistryPath(const std::wstring& path)
{
    std::vector<std::wstring> parts = WinPath(path).getComponents();
    auto hive = parts.empty() ? hiveTable().end() : hiveTable().find(upper(parts.front()));
    if (hive == hiveTable().end())
        throw CZelException(13, L"Invalid argument in registry function: " + path);
    // Key names may hold '/', which a path would turn into a separator: the
    // subkey is the original text after the hive, with runs of '\\' collapsed.
    size_t hiveStart = path.find_first_not_of(L"\\/");
    size_t separator = path.find_first_of(L"\\/", hiveStart);
    std::wstring rest;
    for (size_t i = separator == std::wstring::npos ? path.size() : separator + 1; i < path.size(); ++i)
        if (path[i] != L'\\' || (!rest.empty() && rest.back() != L'\\'))
            rest += path[i];
    if (!rest.empty() && rest.back() == L'\\')
        rest.pop_back();
    return {hive->second, rest};
}

RegKey regOpenPath(const std::wstring& path, REGSAM access)
{
    auto split = splitRegistryPath(path);
    return regOpenKeyEx(split.first, split.second, access);
}

RegKey regConnectRegistry(const std::wstring& machine)
{
    if (machine.empty())
        return RegKey(HKEY_LOCAL_MACHINE);
    if (machine.size() < 3)
        throw CZelException(87, L"regConnectRegistry() failed: invalid machine name " + machine);
    std::wstring name = machine;
    if (name[0] != L'\\')
        name.insert(0, L"\\");
    if (name[1] != L'\\')
        name.insert(0, L"\\");
    HKEY key = nullptr;
    LONG status = RegConnectRegistryW(name.c_str(), HKEY_LOCAL_MACHINE, &key);
    if (status != ERROR_SUCCESS)
        throwStatus(status, L"regConnectRegistry() failed in ::RegConnectRegistry");
    return RegKey(key);
}

RegKey regOpenKeyEx(HKEY key, const std::wstring& subkey, REGSAM access)
{
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(key, subkey.c_str(), 0, access, &opened);
    if (status != ERROR_SUCCESS)
        throwStatus(status, L"WinAPI::regOpenKeyEx() failed for " + subkey);
    return RegKey(opened);
}

RegKey regCreateKeyEx(HKEY key, const std::wstring& subkey)
{
    HKEY created = nullptr;
    LONG status = RegCreateKeyExW(key, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS)
        throwStatus(status, L"WinAPI::regCreateKeyEx() failed for " + subkey);
    return RegKey(created);
}

bool regKeyExists(const std::wstring& subkey)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegKey guard(opened);
    return true;
}

RegValue regQueryValueEx(HKEY key, const std::wstring& name)
{
    RegValue value;
    value.name = name;
    value.data.resize(128);
    for (;;) {
        DWORD size = static_cast<DWORD>(value.data.size());
        LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            value.data.resize(std::max<size_t>(value.data.size() * 2, size));
            continue;
        }
        if (status != ERROR_SUCCESS)
            throwStatus(status, L"WinAPI::regQueryValueEx failed for " + name);
        value.data.resize(size);
        return value;
    }
}

void regSetValueEx(HKEY key, const std::wstring& name, const RegValue& value)
{
    const BYTE* bytes = value.data.empty() ? nullptr : value.data.data();
    LONG status = RegSetValueExW(key, name.c_str(), 0, value.type, bytes, static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS)
        throwStatus(status, L"WinAPI::regSetValueEx() failed for " + name);
}

void regDeleteValue(HKEY key, const std::wstring& name)
{
    LONG status = RegDeleteValueW(key, name.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        throwStatus(status, L"WinAPI::regDeleteValue() failed for " + name);
}

// The text ends at its first NUL: a writer may store more than one, or bytes
// after it, and a string holding them would compare and join as another text.
std::wstring RegValue::toString() const
{
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    text.resize(std::min(text.size(), text.find(L'\0')));
    return text;
}

DWORD RegValue::toDWORD() const
{
    if (data.size() < sizeof(DWORD))
        throw CZelException(0, L"RegValue does not have enough data for conversion to DWORD");
    DWORD result;
    memcpy(&result, data.data(), sizeof(result));
    return result;
}

std::vector<std::wstring> RegValue::toStrings() const
{
    std::vector<std::wstring> lines;
    std::wstring all(data.size() / sizeof(wchar_t), L'\0');
    if (!all.empty())
        memcpy(&all[0], data.data(), all.size() * sizeof(wchar_t));
    size_t start = 0;
    while (start < all.size() && all[start] != L'\0') {
        size_t end = all.find(L'\0', start);
        if (end == std::wstring::npos)
            end = all.size();
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

RegValue RegValue::fromString(const std::wstring& name, const std::wstring& text, DWORD type)
{
    RegValue value;
    value.name = name;
    value.type = type;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return value;
}

RegValue RegValue::fromDWORD(const std::wstring& name, DWORD number)
{
    RegValue value;
    value.name = name;
    value.type = REG_DWORD;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&number);
    value.data.assign(bytes, bytes + sizeof(number));
    return value;
}

RegValue RegValue::fromStrings(const std::wstring& name, const std::vector<std::wstring>& lines)
{
    std::wstring packed;
    for (const std::wstring& line : lines) {
        packed += line;
        packed += L'\0';
    }
    packed += L'\0';
    RegValue value;
    value.name = name;
    value.type = REG_MULTI_SZ;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(packed.data());
    value.data.assign(bytes, bytes + packed.size() * sizeof(wchar_t));
    return value;
}

} // namespace WinAPI
