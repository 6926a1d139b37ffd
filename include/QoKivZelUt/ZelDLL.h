// Component libraries and type libraries: ZelDLL loads one library for its
// lifetime (preferring the copy beside the running program), ZelComDLL also
// finds its DllGetClassObject, ZelTypeLib reads, registers and unregisters a
// type library.
#pragma once

#include "Export.h"
#include "Guid.h"
#include "WinPath.h"

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class QOKIVZELUT_API ZelDLL {
public:
    ZelDLL() = default;
    // load(name, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
    explicit ZelDLL(const wchar_t* name);
    virtual ~ZelDLL();
    ZelDLL(const ZelDLL&) = delete;
    ZelDLL& operator=(const ZelDLL&) = delete;

    // Unloads what is loaded, then loads the name from beside the running
    // program when it is there, else as given. Throws on failure. The flags
    // are LoadLibraryExW's: 0 searches the current directory too, which
    // anybody may have put a library of that name into; the constructor's
    // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS does not.
    virtual void load(const wchar_t* name, unsigned long flags);
    explicit operator bool() const { return m_module != nullptr; }
    const WinPath& path() const { return m_path; }

    // The address of an exported function; throws when the library lacks it.
    template <class Function>
    void getFunction(const std::wstring& name, Function& function) const
    {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(findFunction(name)));
    }

protected:
    void unload();

private:
    FARPROC findFunction(const std::wstring& name) const;

    WinPath m_path;
    HMODULE m_module = nullptr;
};

class QOKIVZELUT_API ZelComDLL : public ZelDLL {
public:
    using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

    ZelComDLL() = default;
    explicit ZelComDLL(const wchar_t* name);
    ~ZelComDLL() override;

    void load(const wchar_t* name, unsigned long flags) override;
    // The library's DllGetClassObject; null until loaded. A library without
    // one is not kept: the load throws and the object stays empty.
    GetClassObjectFunction getClassObject() const { return m_getClassObject; }

private:
    GetClassObjectFunction m_getClassObject = nullptr;
};

class QOKIVZELUT_API ZelTypeLib {
public:
    // Keeps a reference to the caller's path, which must outlive the object (a
    // temporary is refused at compile time). Throws code 2 "File could not be
    // found." for a missing file, else when the library cannot be read.
    explicit ZelTypeLib(const WinPath& path);
    ZelTypeLib(WinPath&&) = delete;
    ZelTypeLib(ZelTypeLib&& other) noexcept;
    ZelTypeLib(const ZelTypeLib&) = delete;
    ZelTypeLib& operator=(const ZelTypeLib&) = delete;
    ZelTypeLib& operator=(ZelTypeLib&&) = delete;
    ~ZelTypeLib();

    CGuid GetGuid() const;
    unsigned long GetLcid() const;
    unsigned short GetMajorVersion() const;
    unsigned short GetMinorVersion() const;
    tagSYSKIND GetSyskind() const;
    // The coclasses' GUIDs in type-description order.
    std::vector<CGuid> GetComClassGuids() const;

    // False (and an information entry) when the system refuses.
    bool RegisterTypeLib() const;
    bool UnRegisterTypeLib() const;

private:
    struct ReleaseLibrary {
        void operator()(ITypeLib* library) const { library->Release(); }
    };
    struct ReleaseAttributes {
        ITypeLib* library;
        void operator()(TLIBATTR* attributes) const { library->ReleaseTLibAttr(attributes); }
    };

    const TLIBATTR& attributes() const;
    void readTypeInfos();

    const WinPath& m_path;
    std::multimap<TYPEKIND, CGuid> m_typeInfos;
    std::unique_ptr<ITypeLib, ReleaseLibrary> m_library;
    std::unique_ptr<TLIBATTR, ReleaseAttributes> m_attributes{nullptr, ReleaseAttributes{nullptr}};
};
