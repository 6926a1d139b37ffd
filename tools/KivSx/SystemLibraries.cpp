// A downloaded setup runs from a folder anybody may have put DLLs into, and
// the system looks for a program's imports beside it first. The two system
// libraries the stub needs that the system does not always take from its own
// directory are therefore not imported: their functions are taken here from
// the system directory only.
#include <windows.h>

#include <fdi.h>
#include <winver.h>

namespace {

FARPROC systemFunction(const wchar_t* library, const char* name)
{
    HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? ::GetProcAddress(module, name) : nullptr;
}

template <class Function>
Function cabinetFunction(const char* name)
{
    return reinterpret_cast<Function>(systemFunction(L"cabinet.dll", name));
}

template <class Function>
Function versionFunction(const char* name)
{
    return reinterpret_cast<Function>(systemFunction(L"version.dll", name));
}

} // namespace

extern "C" {

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                          PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf)
{
    static const auto call = cabinetFunction<decltype(&FDICreate)>("FDICreate");
    if (!call)
        return nullptr;
    return call(pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, cpuType, perf);
}

BOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici)
{
    static const auto call = cabinetFunction<decltype(&FDIIsCabinet)>("FDIIsCabinet");
    return call ? call(hfdi, hf, pfdici) : FALSE;
}

BOOL DIAMONDAPI FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
                        PFNFDIDECRYPT pfnfdid, void* pvUser)
{
    static const auto call = cabinetFunction<decltype(&FDICopy)>("FDICopy");
    return call ? call(hfdi, pszCabinet, pszCabPath, flags, pfnfdin, pfnfdid, pvUser) : FALSE;
}

BOOL DIAMONDAPI FDIDestroy(HFDI hfdi)
{
    static const auto call = cabinetFunction<decltype(&FDIDestroy)>("FDIDestroy");
    return call ? call(hfdi) : FALSE;
}

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle)
{
    static const auto call = versionFunction<decltype(&GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
    return call ? call(file, handle) : 0;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD length, LPVOID data)
{
    static const auto call = versionFunction<decltype(&GetFileVersionInfoW)>("GetFileVersionInfoW");
    return call ? call(file, handle, length, data) : FALSE;
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length)
{
    static const auto call = versionFunction<decltype(&VerQueryValueW)>("VerQueryValueW");
    return call ? call(block, subBlock, buffer, length) : FALSE;
}

} // extern "C"
