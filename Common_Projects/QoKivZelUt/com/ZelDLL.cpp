#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelDLL.h>

#include "foundation/CodePage.h"
#include "foundation/Log.h"

namespace {

// The copy beside the running program when there is one, else the name itself.
WinPath libraryPath(const wchar_t* name)
{
    WinPath beside = WinAPI::getModuleFileName(nullptr).getParent() / name;
    return beside.exists() ? beside : WinPath(name);
}

// The system's own result is the truthful code: these calls need not set the
// thread's last error (and under some systems leave it at 0).
// The code in decimal, as these entries always had it.
void logRegistrationFailure(const wchar_t* call, HRESULT result)
{
    ZEL_LOG_INFO << call << L" failed with error " << static_cast<unsigned long>(result) << L" Error message :"
                 << CZelException::getSystemErrorText(static_cast<unsigned long>(result));
}

} // namespace

// ---------------------------------------------------------------- ZelDLL

ZelDLL::ZelDLL(const wchar_t* name)
{
    load(name, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

ZelDLL::~ZelDLL()
{
    unload();
}

void ZelDLL::load(const wchar_t* name, unsigned long flags)
{
    unload();
    if (!name || !*name)
        throw CZelException(ERROR_INVALID_PARAMETER, L"Loading library failed: no name given");
    WinPath path = libraryPath(name);
    ZEL_LOG_DEBUG << L"Loading " << path;
    HMODULE module = LoadLibraryExW(path.str().c_str(), nullptr, flags);
    if (!module) {
        DWORD error = GetLastError();
        ZEL_LOG_ERROR << L"Failed to load \"" << path << L"\". " << ErrorW32(error);
        throw CZelException(error, L"Loading library " + path.str() + L" failed");
    }
    m_module = module;
    m_path = path;
}

void ZelDLL::unload()
{
    if (m_module) {
        ZEL_LOG_DEBUG << L"Unloading " << m_path;
        FreeLibrary(m_module);
    }
    m_module = nullptr;
    m_path = WinPath();
}

FARPROC ZelDLL::findFunction(const std::wstring& name) const
{
    FARPROC function = m_module ? GetProcAddress(m_module, ZelUt::detail::toThreadAnsi(name).c_str()) : nullptr;
    if (!function) {
        DWORD error = m_module ? GetLastError() : ERROR_INVALID_HANDLE;
        ZEL_LOG_ERROR << L"Function " << name << L" not found in " << m_path << L". " << ErrorW32(error);
        throw CZelException(error, L"Function " + name + L" not found in " + m_path.str());
    }
    return function;
}

// ---------------------------------------------------------------- ZelComDLL

ZelComDLL::ZelComDLL(const wchar_t* name)
{
    load(name, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

ZelComDLL::~ZelComDLL() = default;

void ZelComDLL::load(const wchar_t* name, unsigned long flags)
{
    m_getClassObject = nullptr;
    ZelDLL::load(name, flags);
    try {
        getFunction(L"DllGetClassObject", m_getClassObject);
    } catch (const CZelException&) {
        unload();
        throw;
    }
}

// ---------------------------------------------------------------- ZelTypeLib

// The file checked is the file loaded (and registered) by its full path: given
// a bare name, the loader would search for it (beside the program first), and
// the registry would record a name that means nothing elsewhere.
ZelTypeLib::ZelTypeLib(const WinPath& path) : m_path(path)
{
    if (!m_path.exists())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"File could not be found.");
    ITypeLib* library = nullptr;
    HRESULT result = LoadTypeLibEx(WinAPI::fullpath(m_path).str().c_str(), REGKIND_NONE, &library);
    if (FAILED(result) || !library)
        throw CZelException(static_cast<unsigned long>(result), L"LoadTypeLibEx failed.");
    m_library.reset(library);
    TLIBATTR* attributes = nullptr;
    result = library->GetLibAttr(&attributes);
    if (FAILED(result) || !attributes)
        throw CZelException(static_cast<unsigned long>(result), L"GetLibAttr failed.");
    m_attributes = std::unique_ptr<TLIBATTR, ReleaseAttributes>(attributes, ReleaseAttributes{library});
    readTypeInfos();
}

ZelTypeLib::ZelTypeLib(ZelTypeLib&& other) noexcept
    : m_path(other.m_path), m_typeInfos(std::move(other.m_typeInfos)), m_library(std::move(other.m_library)),
      m_attributes(std::move(other.m_attributes))
{
}

ZelTypeLib::~ZelTypeLib() = default;

void ZelTypeLib::readTypeInfos()
{
    ITypeLib* library = m_library.get();
    auto fail = [this](HRESULT result) {
        ZEL_LOG_ERROR << L"Reading typeinfo of '" << m_path << L"' failed: " << ErrorHR(result);
        throw CZelException(static_cast<unsigned long>(result), L"ReadTypeInfos failed");
    };
    UINT count = library->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind;
        HRESULT result = library->GetTypeInfoType(i, &kind);
        if (FAILED(result))
            fail(result);
        ITypeInfo* info = nullptr;
        result = library->GetTypeInfo(i, &info);
        if (FAILED(result))
            fail(result);
        std::unique_ptr<ITypeInfo, void (*)(ITypeInfo*)> infoGuard(info, [](ITypeInfo* p) { p->Release(); });
        TYPEATTR* typeAttributes = nullptr;
        result = info->GetTypeAttr(&typeAttributes);
        if (FAILED(result))
            fail(result);
        m_typeInfos.emplace(kind, CGuid(typeAttributes->guid));
        info->ReleaseTypeAttr(typeAttributes);
    }
}

const TLIBATTR& ZelTypeLib::attributes() const
{
    if (!m_library || !m_attributes)
        throw CZelException(GetLastError(), L"TypeLib not loaded successfully");
    return *m_attributes;
}

CGuid ZelTypeLib::GetGuid() const
{
    return CGuid(attributes().guid);
}

unsigned long ZelTypeLib::GetLcid() const
{
    return attributes().lcid;
}

unsigned short ZelTypeLib::GetMajorVersion() const
{
    return attributes().wMajorVerNum;
}

unsigned short ZelTypeLib::GetMinorVersion() const
{
    return attributes().wMinorVerNum;
}

tagSYSKIND ZelTypeLib::GetSyskind() const
{
    return attributes().syskind;
}

std::vector<CGuid> ZelTypeLib::GetComClassGuids() const
{
    attributes();
    std::vector<CGuid> classes;
    auto range = m_typeInfos.equal_range(TKIND_COCLASS);
    for (auto it = range.first; it != range.second; ++it)
        classes.push_back(it->second);
    return classes;
}

bool ZelTypeLib::RegisterTypeLib() const
{
    attributes();
    const std::wstring full = WinAPI::fullpath(m_path).str();
    HRESULT result = ::RegisterTypeLib(m_library.get(), const_cast<wchar_t*>(full.c_str()), nullptr);
    if (FAILED(result)) {
        logRegistrationFailure(L"RegisterTypeLib", result);
        return false;
    }
    return true;
}

bool ZelTypeLib::UnRegisterTypeLib() const
{
    const TLIBATTR& a = attributes();
    HRESULT result = ::UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    if (FAILED(result)) {
        logRegistrationFailure(L"UnRegisterTypeLib", result);
        return false;
    }
    return true;
}
