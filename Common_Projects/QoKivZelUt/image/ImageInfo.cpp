#include <QoKivZelUt/ImageInfo.h>

#include "foundation/ErrorText.h"
#include "image/PeImage.h"

using ZelUt::detail::throwLastError;

namespace {

const unsigned short kNoManifest = 0xFFFF;
const unsigned short kManifestType = 24;

} // namespace

ImageInfo::FileMapping::FileMapping(const WinAPI::FileHandle& file) : m_file(file)
{
    DWORD high = 0;
    ::SetLastError(ERROR_SUCCESS);
    DWORD low = ::GetFileSize(m_file, &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != ERROR_SUCCESS)
        throwLastError(L"FileMapping() failes: GetFileSize() failed.");
    if (high != 0)  // nothing failed, so the last error would say success
        throw CZelException(ERROR_FILE_TOO_LARGE, L"FileMapping() failes: filesize is too big!");
    m_mapping = WinAPI::FileHandle(::CreateFileMappingW(m_file, nullptr, PAGE_READONLY, 0, low, nullptr));
    if (!m_mapping)
        throwLastError(L"CreateFileMapping() failed.");
    m_view = WinAPI::ViewHandle(::MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 0));
    if (!m_view)
        throwLastError(L"MapViewOfFile() failed.");
    m_size = low;
}

ImageInfo::ImageInfo(const WinPath& path)
    : m_imagePath(path), m_file(WinAPI::openFileReadOnly(path)), m_mapping(m_file)
{
}

// The size of the mapped view: the file is open without write sharing, so it
// cannot change while this object lives.
long long ImageInfo::getFileSize() const
{
    if (m_fileSize == 0)
        m_fileSize = static_cast<long long>(m_mapping.size());
    return m_fileSize;
}

namespace {

ZelUt::PeImage parser(const ImageInfo& image, long long size)
{
    return ZelUt::PeImage(image.getStartOfFile(), static_cast<uint64_t>(size));
}

} // namespace

bool ImageInfo::isPEImage() const
{
    return parser(*this, getFileSize()).hasNtHeaders();
}

ImageInfo::MachineType ImageInfo::getMachineType()
{
    return static_cast<MachineType>(parser(*this, getFileSize()).machine());
}

long long ImageInfo::getImageSize() const
{
    return static_cast<long long>(parser(*this, getFileSize()).imageSize());
}

std::set<std::wstring> ImageInfo::getExports() const
{
    return parser(*this, getFileSize()).exports();
}

// Module names that differ in case only are one module.
std::map<WinPath, std::set<std::wstring>> ImageInfo::getImports() const
{
    std::map<WinPath, std::set<std::wstring>> imports;
    for (auto& module : parser(*this, getFileSize()).imports())
        imports[WinPath(module.first)].insert(module.second.begin(), module.second.end());
    return imports;
}

std::vector<ImageInfo::Resource> ImageInfo::getResources()
{
    std::vector<Resource> resources;
    for (ZelUt::PeImage::Resource& found : parser(*this, getFileSize()).resources()) {
        Resource resource;
        resource.typeName = std::move(found.typeName);
        resource.typeId = found.typeId;
        resource.name = std::move(found.name);
        resource.nameId = found.nameId;
        resource.language = std::move(found.language);
        resource.languageId = found.languageId;
        resource.data = std::move(found.data);
        resources.push_back(std::move(resource));
    }
    return resources;
}

unsigned short ImageInfo::getManifestResourceId() const
{
    for (const ZelUt::PeImage::Resource& resource : parser(*this, getFileSize()).resources(false))
        if (resource.typeId == kManifestType)
            return resource.nameId;
    return kNoManifest;
}

std::wstring ImageInfo::getDotNetVersion()
{
    return parser(*this, getFileSize()).dotNetVersion();
}

unsigned long ImageInfo::getDotNetFlags() const
{
    return parser(*this, getFileSize()).dotNetFlags();
}
