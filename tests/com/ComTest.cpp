#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelDLL.h>

#include "TestEnv.h"
#include "foundation/CurrentDirectory.h"

#include <gtest/gtest.h>

#include <tuple>
#include <type_traits>

namespace {

WinPath typeLibs()
{
    return qkztest::binDir() / L"typelibs";
}

// A file copied into the system directory for one test.
class SystemCopy {
public:
    SystemCopy(const WinPath& from, const std::wstring& name) : m_path(WinAPI::getSystemDirectory() / name)
    {
        WinAPI::copyFile(from, m_path);
    }
    ~SystemCopy() { DeleteFileW(m_path.str().c_str()); }

private:
    WinPath m_path;
};

int whichCopy(const ZelDLL& dll)
{
    int (*which)() = nullptr;
    dll.getFunction(L"WhichCopy", which);
    return which();
}

std::wstring registeredPath(const CGuid& library, const wchar_t* version, const wchar_t* platform)
{
    std::wstring key = L"TypeLib\\" + library.toString() + L"\\" + version + L"\\409\\" + platform;
    try {
        return WinAPI::regQueryValueEx(WinAPI::regOpenKeyEx(HKEY_CLASSES_ROOT, key), L"").toString();
    } catch (const CZelException&) {
        return L"(none)";
    }
}

} // namespace

TEST(ZelDLL, PrefersTheCopyBesideTheProgramAndUnloadsOnReload)
{
    SystemCopy shadow(qkztest::binDir() / L"system-copy" / L"qkz_comlib.dll", L"qkz_comlib.dll");
    SystemCopy systemOnly(qkztest::binDir() / L"system-copy" / L"qkz_comlib.dll", L"qkz_comlib_sys.dll");
    qkztest::LogCapture log;
    ZelComDLL com(L"qkz_comlib.dll");
    ASSERT_TRUE(static_cast<bool>(com));
    EXPECT_EQ(com.path().str(), (qkztest::binDir() / L"qkz_comlib.dll").str());
    EXPECT_EQ(whichCopy(com), 1);
    ASSERT_NE(com.getClassObject(), nullptr);
    void* object = &object;
    EXPECT_EQ(com.getClassObject()(GUID_NULL, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_TRUE(log.contains(L"Loading " + com.path().str()));

    com.load(L"qkz_comlib_sys.dll", LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    EXPECT_TRUE(log.contains(L"Unloading " + (qkztest::binDir() / L"qkz_comlib.dll").str()));
    EXPECT_EQ(com.path().str(), L"qkz_comlib_sys.dll");
    EXPECT_EQ(whichCopy(com), 2);
    EXPECT_EQ(GetModuleHandleW(L"qkz_comlib.dll"), nullptr) << "the first module was freed";
}

TEST(ZelDLL, FailuresThrowWithTheirTexts)
{
    qkztest::LogCapture log;
    EXPECT_EQ(qkztest::failureOf([&] { ZelDLL missing(L"qkz_no_such_library.dll"); }),
              (qkztest::Failure{ERROR_MOD_NOT_FOUND, L"Loading library qkz_no_such_library.dll failed"}));
    EXPECT_TRUE(log.contains(L"Failed to load \"qkz_no_such_library.dll\". "));
    for (const wchar_t* noName : {static_cast<const wchar_t*>(nullptr), L""})
        EXPECT_EQ(qkztest::failureOf([&] { ZelDLL unnamed(noName); }),
                  (qkztest::Failure{ERROR_INVALID_PARAMETER, L"Loading library failed: no name given"}));
    {
        ZelDLL scoped(L"qkz_testlib.dll");
        ASSERT_NE(nullptr, GetModuleHandleW(L"qkz_testlib.dll"));
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(L"qkz_testlib.dll")) << "a library outlives its guard";

    qkztest::TempDir dir;
    WinPath text = dir.write(L"not-a-library.dll", "plain text");
    ZelDLL dll;
    EXPECT_FALSE(static_cast<bool>(dll));
    EXPECT_THROW(dll.load(text.str().c_str(), 0), CZelException);
    EXPECT_FALSE(static_cast<bool>(dll));

    ZelDLL lib(L"qkz_comlib.dll");
    void (*nothing)() = nullptr;
    EXPECT_EQ(qkztest::failureOf([&] { lib.getFunction(L"NoSuchFunction", nothing); }),
              (qkztest::Failure{ERROR_PROC_NOT_FOUND, L"Function NoSuchFunction not found in " + lib.path().str()}));
    // A ZelComDLL needs DllGetClassObject: a library without it fails to load
    // as one, and is not kept loaded behind an empty object.
    ZelComDLL com;
    EXPECT_THROW(com.load(L"qkz_testlib.dll", LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), CZelException);
    EXPECT_FALSE(static_cast<bool>(com));
    EXPECT_EQ(nullptr, com.getClassObject());
    EXPECT_EQ(nullptr, GetModuleHandleW(L"qkz_testlib.dll"));
}

// The path a type library keeps must outlive it: temporaries do not compile.
static_assert(std::is_constructible<ZelTypeLib, const WinPath&>::value, "a named path");
static_assert(!std::is_constructible<ZelTypeLib, WinPath>::value, "a temporary path");
static_assert(!std::is_constructible<ZelTypeLib, const wchar_t*>::value, "a text made into a temporary path");

TEST(ZelTypeLib, AttributesCoclassesInOrderAndRegistration)
{
    for (const wchar_t* bits : {L"32", L"64"}) {
        WinPath path = typeLibs() / (std::wstring(L"classes") + bits + L".tlb");
        ZelTypeLib tlb(path);
        const bool win64 = std::wstring(bits) == L"64";
        EXPECT_EQ(std::make_tuple(std::wstring(L"{6B2C9A10-5D1E-4C3A-9F00-0000000000A1}"), 0x409ul, 2, 3,
                                  win64 ? SYS_WIN64 : SYS_WIN32),
                  std::make_tuple(tlb.GetGuid().toString(), (unsigned long)tlb.GetLcid(), (int)tlb.GetMajorVersion(),
                                  (int)tlb.GetMinorVersion(), tlb.GetSyskind()));
        EXPECT_EQ((std::vector<CGuid>{CGuid(L"{6B2C9A10-5D1E-4C3A-9F00-0000000000C2}"),
                                      CGuid(L"{6B2C9A10-5D1E-4C3A-9F00-0000000000C1}")}),
                  tlb.GetComClassGuids());

        const wchar_t* platform = win64 ? L"win64" : L"win32";
        ASSERT_TRUE(tlb.RegisterTypeLib());
        EXPECT_EQ(registeredPath(tlb.GetGuid(), L"2.3", platform), path.str());
        ASSERT_TRUE(tlb.UnRegisterTypeLib());
        EXPECT_EQ(registeredPath(tlb.GetGuid(), L"2.3", platform), L"(none)");
        qkztest::LogCapture log;
        EXPECT_FALSE(tlb.UnRegisterTypeLib()) << "nothing left to unregister";
        EXPECT_TRUE(log.contains(L"UnRegisterTypeLib failed with error 2147942487 Error message :"));
    }
    WinPath plainPath = typeLibs() / L"plain64.tlb";
    ZelTypeLib plain(plainPath);
    EXPECT_TRUE(plain.GetComClassGuids().empty());
    const WinPath lonePath = typeLibs() / L"lone64.tlb";
    EXPECT_EQ((std::vector<CGuid>{CGuid(L"{6B2C9A10-5D1E-4C3A-9F00-0000000000C3}")}), ZelTypeLib(lonePath).GetComClassGuids())
        << "the first type is read too";
    ZelTypeLib moved(std::move(plain));
    EXPECT_EQ(moved.GetMajorVersion(), 1);
    // What was moved away answers nothing, not an empty or made-up answer.
    const std::function<void()> calls[] = {[&] { plain.GetGuid(); }, [&] { plain.GetComClassGuids(); },
                                           [&] { plain.RegisterTypeLib(); }, [&] { plain.UnRegisterTypeLib(); }};
    for (const auto& call : calls)
        EXPECT_EQ(L"TypeLib not loaded successfully", qkztest::failureOf(call).message);
}

// Each reading gives back the type attributes it borrowed.
TEST(ZelTypeLib, ReadingsHoldNoMemory)
{
    const WinPath path = typeLibs() / L"classes64.tlb";
    { ZelTypeLib warmUp(path); }
    const size_t before = qkztest::heapInUse();
    for (int i = 0; i < 2000; ++i)
        ZelTypeLib tlb(path);
    EXPECT_LT(qkztest::heapInUse(), before + 256 * 1024);
}

TEST(ZelTypeLib, MissingAndForeignFiles)
{
    qkztest::TempDir dir;
    WinPath missing = dir.path() / L"missing.tlb";
    EXPECT_EQ(qkztest::failureOf([&] { ZelTypeLib tlb(missing); }),
              (qkztest::Failure{2u, L"File could not be found."}));
    WinPath text = dir.write(L"text.tlb", "not a type library");
    qkztest::Failure failure = qkztest::failureOf([&] { ZelTypeLib tlb(text); });
    EXPECT_EQ(failure.message, L"LoadTypeLibEx failed.");
    EXPECT_NE(failure.code, 0u) << "the failure's own code, not a success";

    // A relative name is the file it names where the check found it, not one of
    // that name a search finds first (beside the program), and it is registered
    // by its full path.
    const WinPath besideProgram = qkztest::binDir() / L"qkz-relative.tlb";
    ASSERT_TRUE(CopyFileW((typeLibs() / L"plain64.tlb").str().c_str(), besideProgram.str().c_str(), FALSE));
    WinAPI::copyFile(typeLibs() / L"classes64.tlb", dir.path() / L"qkz-relative.tlb");
    {
        ZelUt::CurrentDirectory there(dir.path());
        const WinPath relative(L"qkz-relative.tlb");
        ZelTypeLib tlb(relative);
        EXPECT_EQ(L"{6B2C9A10-5D1E-4C3A-9F00-0000000000A1}", tlb.GetGuid().toString());
        ASSERT_TRUE(tlb.RegisterTypeLib());
        EXPECT_EQ((dir.path() / L"qkz-relative.tlb").str(), registeredPath(tlb.GetGuid(), L"2.3", L"win64"));
        EXPECT_TRUE(tlb.UnRegisterTypeLib());
    }
    DeleteFileW(besideProgram.str().c_str());
}

// Registration the registry refuses (the library's version key is closed to
// everyone): false, and the system's error logged.
TEST(ZelTypeLib, RefusedRegistrationIsReported)
{
    const WinPath path = typeLibs() / L"plain64.tlb";
    ZelTypeLib tlb(path);
    wchar_t version[16];
    swprintf(version, 16, L"\\%x.%x", tlb.GetMajorVersion(), tlb.GetMinorVersion());
    const std::wstring name = L"TypeLib\\" + tlb.GetGuid().toString(), versionKey = name + version;
    // Kept open with every right, so that the key is opened up and removed again whatever happens.
    struct ClosedKey {
        WinAPI::RegKey key;
        std::wstring name;
        ~ClosedKey()
        {
            try {
                CZelSecurityDescriptor::fromSddl(L"D:(A;;KA;;;WD)").applyToRegistryKey(key);
            } catch (const CZelException& e) {
                ADD_FAILURE() << "key not opened up again: " << e.what();
            }
            key.release();
            EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, name.c_str()));  // the key with its subkeys
        }
    } closed{WinAPI::regCreateKeyEx(HKEY_CLASSES_ROOT, versionKey), name};
    CZelSecurityDescriptor::fromSddl(L"D:").applyToRegistryKey(closed.key);
    qkztest::LogCapture log;
    EXPECT_FALSE(tlb.RegisterTypeLib());
    EXPECT_TRUE(log.contains(L"RegisterTypeLib failed with error "));
}
