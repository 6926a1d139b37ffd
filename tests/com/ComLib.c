/* A component library for the suite: exports DllGetClassObject and tells which
   copy was loaded (the one beside the program, or the one in the system directory). */
#include <windows.h>

#ifdef QKZ_SYSTEM_COPY
#define QKZ_COPY 2
#else
#define QKZ_COPY 1
#endif

__declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    (void)clsid;
    (void)iid;
    *object = NULL;
    return CLASS_E_CLASSNOTAVAILABLE;
}

__declspec(dllexport) int WhichCopy(void)
{
    return QKZ_COPY;
}
