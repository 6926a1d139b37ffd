#include "TestEnv.h"

#include <gtest/gtest.h>

using qkztest::TestRegistryKey;

namespace {

WinAPI::RegValue raw(const std::wstring& name, DWORD type, std::vector<BYTE> bytes)
{
    WinAPI::RegValue v;
    v.name = name;
    v.type = type;
    v.data = std::move(bytes);
    return v;
}

TEST(Registry, EveryValueTypeRoundTrips)
{
    TestRegistryKey key;
    std::vector<BYTE> big(10000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<BYTE>(i * 7);
    unsigned long long q = 0x0123456789ABCDEFull;
    const WinAPI::RegValue values[] = {
        WinAPI::RegValue::fromString(L"sz", L"Gr\u00fc\u00dfe aus C:\\"),
        WinAPI::RegValue::fromString(L"expand", L"%SystemRoot%\\x", REG_EXPAND_SZ),
        WinAPI::RegValue::fromStrings(L"multi", {L"one", L"two", L"\u4e2d"}),
        WinAPI::RegValue::fromDWORD(L"dword", 0xDEADBEEF),
        raw(L"qword", REG_QWORD, std::vector<BYTE>(reinterpret_cast<BYTE*>(&q), reinterpret_cast<BYTE*>(&q) + 8)),
        raw(L"binary", REG_BINARY, big),
        raw(L"none", REG_NONE, {}),
        raw(L"", REG_SZ, {'d', 0, 0, 0}),
    };
    for (const WinAPI::RegValue& v : values)
        WinAPI::regSetValueEx(key.key(), v.name, v);
    for (const WinAPI::RegValue& v : values) {
        WinAPI::RegValue back = WinAPI::regQueryValueEx(key.key(), v.name);
        EXPECT_EQ(v.type, back.type);
        EXPECT_EQ(v.data, back.data) << std::string(v.name.begin(), v.name.end());
    }
    EXPECT_EQ(L"Gr\u00fc\u00dfe aus C:\\", WinAPI::regQueryValueEx(key.key(), L"sz").toString());
    EXPECT_EQ((std::vector<std::wstring>{L"one", L"two", L"\u4e2d"}),
              WinAPI::regQueryValueEx(key.key(), L"multi").toStrings());
    EXPECT_EQ(0xDEADBEEFul, WinAPI::regQueryValueEx(key.key(), L"dword").toDWORD());
    std::vector<BYTE> multi = WinAPI::RegValue::fromStrings(L"m", {L"a", L"b"}).data;
    EXPECT_EQ((std::vector<BYTE>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), multi);

    WinAPI::regDeleteValue(key.key(), L"dword");
    WinAPI::regDeleteValue(key.key(), L"dword");  // missing: success
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::regQueryValueEx(key.key(), L"dword"); }),
              (qkztest::Failure{2u, L"WinAPI::regQueryValueEx failed for dword"}));
}

TEST(Registry, ConversionsAndArgumentErrors)
{
    EXPECT_EQ(qkztest::failureOf([&] { raw(L"x", REG_BINARY, {1, 2, 3}).toDWORD(); }),
              (qkztest::Failure{0u, L"RegValue does not have enough data for conversion to DWORD"}));
    for (const std::vector<BYTE>& bytes : std::vector<std::vector<BYTE>>{
             {'a', 0, 'b', 0, 0, 0}, {'a', 0, 'b', 0}, {'a', 0, 'b', 0, 0, 0, 0, 0}, {'a', 0, 'b', 0, 0, 0, 'c', 0}})
        EXPECT_EQ(L"ab", raw(L"t", REG_SZ, bytes).toString()) << bytes.size();

    EXPECT_EQ(std::make_pair(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Wine")),
              WinAPI::splitRegistryPath(L"hklm\\Software\\Wine"));
    EXPECT_EQ(HKEY_USERS, WinAPI::splitRegistryPath(L"HKEY_USERS").first);
    EXPECT_TRUE(WinAPI::regOpenPath(L"hkey_local_machine\\Software").valid());
    for (const wchar_t* bad : {L"", L"HKXX\\Software"}) {
        EXPECT_EQ(qkztest::failureOf([&] { WinAPI::splitRegistryPath(bad); }),
                  (qkztest::Failure{13u, std::wstring(L"Invalid argument in registry function: ") + bad}));
    }
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::regConnectRegistry(L"ab"); }),
              (qkztest::Failure{87u, L"regConnectRegistry() failed: invalid machine name ab"}));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, WinAPI::regConnectRegistry(L"").get());
    EXPECT_TRUE(WinAPI::regKeyExists(L"Software"));
    EXPECT_FALSE(WinAPI::regKeyExists(L"Software\\qkz-no-such-key"));
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::regOpenKeyEx(HKEY_CURRENT_USER, L"Software\\qkz-no-such-key"); }),
              (qkztest::Failure{2u, L"WinAPI::regOpenKeyEx() failed for Software\\qkz-no-such-key"}));
}

// Closing a predefined key is ignored by some systems, so the guard's rule is
// checked itself, and an ordinary key is seen to be closed by its last guard.
TEST(Registry, GuardsCloseOrdinaryKeysButNeverPredefinedOnes)
{
    for (HKEY predefined : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                            HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_PERFORMANCE_TEXT,
                            HKEY_PERFORMANCE_NLSTEXT})
        EXPECT_TRUE(WinAPI::RegCloseKeyClass::isPredefined(predefined));
    HKEY raw = nullptr;
    {
        WinAPI::RegKey software = WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software");
        raw = software.get();
        EXPECT_FALSE(WinAPI::RegCloseKeyClass::isPredefined(raw));
        WinAPI::RegKey copy = software;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr, nullptr, nullptr));
}

// Key names may hold '/': only the first separator splits off the hive.
TEST(Registry, KeyNamesWithSlashes)
{
    TestRegistryKey key;
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key.key(), L"text/html", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &created, nullptr));
    RegCloseKey(created);
    const std::wstring path = L"HKCU\\" + key.subkey() + L"\\text/html";
    EXPECT_EQ(std::make_pair(HKEY_CURRENT_USER, key.subkey() + L"\\text/html"), WinAPI::splitRegistryPath(path));
    EXPECT_TRUE(WinAPI::regOpenPath(path).valid());
    EXPECT_EQ(L"Software\\Wine", WinAPI::splitRegistryPath(L"HKLM/Software\\\\Wine\\").second);
}

TEST(ProfileFiles, ReadWriteLongValuesAndSections)
{
    qkztest::TempDir dir;
    WinPath ini = dir.path() / L"settings.ini";
    EXPECT_EQ(L"fallback", WinAPI::getPrivateProfileString(L"Main", L"Missing", L"fallback", ini));
    std::wstring longValue(1000, L'v');
    WinAPI::writePrivateProfileString(L"Main", L"Long", longValue, ini);
    WinAPI::writePrivateProfileString(L"Main", L"Short", L"s", ini);
    EXPECT_EQ(longValue, WinAPI::getPrivateProfileString(L"Main", L"Long", L"", ini));
    EXPECT_EQ(L"s", WinAPI::getPrivateProfileString(L"Main", L"Short", L"", ini));
    std::wstring exact(127, L'e');  // just past the first buffer's capacity
    WinAPI::writePrivateProfileString(L"Main", L"Edge", exact, ini);
    EXPECT_EQ(exact, WinAPI::getPrivateProfileString(L"Main", L"Edge", L"", ini));

    WinAPI::writePrivateProfileSection(L"Main", {L"A=1", L"B=two"}, ini);
    EXPECT_EQ(L"", WinAPI::getPrivateProfileString(L"Main", L"Long", L"", ini));
    EXPECT_EQ(L"two", WinAPI::getPrivateProfileString(L"Main", L"B", L"", ini));
    const std::string bytes = qkztest::bytesOf(ini);
    EXPECT_NE(std::string::npos, bytes.find("[Main]"));
    EXPECT_NE(std::string::npos, bytes.find("B=two"));
}

} // namespace
