// ImageInfo: a read-only look into a PE/COFF executable image (PE32 and PE32+),
// mapped as a flat file. Every address taken from the file is range-checked;
// a structure that leaves the file throws CZelException with code 12.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class QOKIVZELUT_API ImageInfo {
public:
    // The file header's Machine field, unchanged.
    enum MachineType : unsigned short {
        MachineUnknown = 0,
        MachineI386 = 0x014C,
        MachineArmNT = 0x01C4,
        MachineIA64 = 0x0200,
        MachineAmd64 = 0x8664,
        MachineArm64 = 0xAA64,
    };

    struct Resource {
        std::wstring typeName;
        unsigned short typeId = 0;
        std::wstring name;
        unsigned short nameId = 0;
        std::wstring language;
        unsigned short languageId = 0;
        std::vector<unsigned char> data;
    };

    explicit ImageInfo(const WinPath& path);

    const WinPath& getImagePath() const { return m_imagePath; }
    const unsigned char* getStartOfFile() const { return m_mapping.start(); }

    bool isPEImage() const;
    MachineType getMachineType();
    long long getImageSize() const;
    std::set<std::wstring> getExports() const;
    std::map<WinPath, std::set<std::wstring>> getImports() const;
    std::vector<Resource> getResources();
    unsigned short getManifestResourceId() const;
    std::wstring getDotNetVersion();
    unsigned long getDotNetFlags() const;

private:
    // The read-only view of the whole file; copies share the handles.
    class QOKIVZELUT_API FileMapping {
    public:
        explicit FileMapping(const WinAPI::FileHandle& file);
        const unsigned char* start() const { return static_cast<const unsigned char*>(m_view.get()); }
        unsigned long size() const { return m_size; }

    private:
        WinAPI::FileHandle m_file;
        WinAPI::FileHandle m_mapping;
        WinAPI::ViewHandle m_view;  // declared after the handles: unmapped first
        unsigned long m_size = 0;
    };

    long long getFileSize() const;

    WinPath m_imagePath;
    WinAPI::FileHandle m_file;
    FileMapping m_mapping;
    mutable long long m_fileSize = 0;
};
