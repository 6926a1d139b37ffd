#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/XmlFactory.h>
#include <QoKivZelUt/ZelPath.h>

#include "foundation/Log.h"

#include <algorithm>
#include <cwchar>

const wchar_t* const CZelXmlFactory::nl = L"\r\n";
std::map<wchar_t, const wchar_t*> CZelXmlFactory::m_entities;
bool CZelXmlFactory::m_initialized = CZelXmlFactory::initialize();

namespace {

const wchar_t kCaption[] = L"QoKivSetup";
const size_t kLongestInlineText = 260;

bool isShort(const std::wstring& text)
{
    return text.size() <= kLongestInlineText && text.find(L'\n') == std::wstring::npos;
}

// Clears the read-only attribute of an existing file while it lives and sets
// it again afterwards, whether the save went through or not.
class WritableWhileSaving {
public:
    explicit WritableWhileSaving(const WinPath& path) : m_path(path)
    {
        DWORD attributes = GetFileAttributesW(path.str().c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
            return;
        if (SetFileAttributesW(path.str().c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            ZEL_LOG_WARNING << L"XML Factory: removed read-only attribute from '" << path << L"'";
            m_attributes = attributes;
        } else {
            DWORD error = GetLastError();
            ZEL_LOG_ERROR << L"XML Factory : failed to remove read-only attribute from '" << path << L"'. "
                          << ErrorW32(error);
        }
    }
    ~WritableWhileSaving()
    {
        if (m_attributes == INVALID_FILE_ATTRIBUTES)
            return;
        if (!SetFileAttributesW(m_path.str().c_str(), m_attributes | FILE_ATTRIBUTE_READONLY)) {
            try {
                ZEL_LOG_WARNING << L"XML Factory: cannot reset read-only attribute for '" << m_path << L"'";
            } catch (...) {
            }
        }
    }
    WritableWhileSaving(const WritableWhileSaving&) = delete;
    WritableWhileSaving& operator=(const WritableWhileSaving&) = delete;

private:
    WinPath m_path;
    DWORD m_attributes = INVALID_FILE_ATTRIBUTES;
};

// A new file beside the target, deleted again unless it was moved into place.
class SiblingFile {
public:
    explicit SiblingFile(const WinPath& target)
    {
        for (unsigned attempt = 0;; ++attempt) {
            m_path = WinPath(target.str() + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount() + attempt) + L".tmp");
            try {
                m_file = WinAPI::createNewFile(m_path);
                return;
            } catch (const CZelException& e) {
                if (e.getErrorCode() != ERROR_FILE_EXISTS || attempt >= 100)
                    throw;
            }
        }
    }
    ~SiblingFile()
    {
        m_file.release();
        if (!m_moved)
            DeleteFileW(m_path.str().c_str());
    }
    SiblingFile(const SiblingFile&) = delete;
    SiblingFile& operator=(const SiblingFile&) = delete;

    void write(const std::string& bytes)
    {
        WinAPI::writeFile(m_file, bytes);
        m_file.release();
    }
    void moveOnto(const WinPath& target)
    {
        WinAPI::replaceFile(m_path, target);
        m_moved = true;
    }

private:
    WinPath m_path;
    WinAPI::FileHandle m_file;
    bool m_moved = false;
};

bool isOwnShare(const WinPath& path)
{
    if (!path.isUNC())
        return false;
    std::wstring server = path.getServerName().str(), computer = WinAPI::getComputerName();
    return _wcsicmp(server.c_str(), computer.c_str()) == 0;
}

// The local path behind a share of this computer; the path itself when unknown.
WinPath localPathOf(const WinPath& path)
{
    try {
        return CZelPath::GetLocalPathFromUNC(path);
    } catch (const CZelException&) {
        return path;  // logged by the resolver
    }
}

bool askToRetry(const WinPath& path)
{
    std::wstring text = L"Failed to save '" + path.str() +
                        L"': check your permissions. Choose 'Retry' to try again or 'Cancel' to continue without "
                        L"saving the document.";
    return MessageBoxW(GetDesktopWindow(), text.c_str(), kCaption, MB_RETRYCANCEL | MB_ICONERROR) == IDRETRY;
}

} // namespace

std::wostream& operator<<(std::wostream& out, const CZelXmlFactory::indenter& tabs)
{
    for (long i = 0; i < tabs.count; ++i)
        out << L'\t';
    return out;
}

// U+00AE and U+00A9 are written as character references: XML itself knows no
// named entities for them, and "&reg;" or "&copy;" make a document that no
// XML reader accepts.
bool CZelXmlFactory::initialize()
{
    m_entities = {{L'&', L"&amp;"},    {L'<', L"&lt;"},      {L'>', L"&gt;"},      {L'\'', L"&apos;"},
                  {L'"', L"&quot;"},    {L'\u00ae', L"&#174;"}, {L'\u00a9', L"&#169;"}};
    return true;
}

CZelXmlFactory::CZelXmlFactory()
{
    reset();
}

CZelXmlFactory::~CZelXmlFactory()
{
    while (!m_openElements.empty())
        endElement();
}

void CZelXmlFactory::reset()
{
    m_document.str(std::wstring());
    m_document.clear();
    m_tagOpen = false;
    m_closeOnNewLine = true;
    m_level = 0;
}

void CZelXmlFactory::addXmlDeclaration()
{
    m_document << L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
}

void CZelXmlFactory::beginDocument()
{
    reset();
    addXmlDeclaration();
}

void CZelXmlFactory::beginDocument(const WinPath& stylesheet)
{
    reset();
    addXmlDeclaration();
    m_document << nl << L"<?xml-stylesheet type=\"text/xsl\" href=\"" << stylesheet.str() << L"\"?>";
}

void CZelXmlFactory::endDocument()
{
    while (!m_openElements.empty())
        endElement();
    m_document << nl;
}

void CZelXmlFactory::finishTagOpen()
{
    if (m_tagOpen) {
        m_document << L'>';
        m_tagOpen = false;
    }
}

void CZelXmlFactory::beginElement(const std::wstring& name, const Attributes& attributes)
{
    finishTagOpen();
    Attributes sorted(attributes);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return _wcsicmp(a.first.c_str(), b.first.c_str()) < 0;
    });
    m_document << nl << indent(0) << L'<' << name;
    for (const auto& attribute : sorted)
        m_document << L' ' << attribute.first << L"=\"" << encodeAsXml(attribute.second) << L'"';
    m_openElements.push_back(name);
    ++m_level;
    m_tagOpen = true;
}

void CZelXmlFactory::endElement()
{
    if (m_openElements.empty())
        return;
    --m_level;
    if (m_tagOpen) {
        m_document << L"/>";
    } else {
        if (m_closeOnNewLine)
            m_document << nl << indent(0);
        m_document << L"</" << m_openElements.back() << L'>';
    }
    m_tagOpen = false;
    m_closeOnNewLine = true;
    m_openElements.pop_back();
}

void CZelXmlFactory::putData(const std::wstring& text, bool cdata)
{
    finishTagOpen();
    if (isShort(text)) {
        m_closeOnNewLine = false;
        if (cdata)
            m_document << L"<![CDATA[" << text << L"]]>";
        else
            m_document << encodeAsXml(text);
    } else if (cdata) {
        m_closeOnNewLine = false;
        m_document << L"<![CDATA[" << nl << replaceNl(text, false) << nl << indent(-1) << L"]]>";
    } else {
        m_closeOnNewLine = true;
        m_document << nl << indent(0) << replaceNl(encodeAsXml(text), true);
    }
}

void CZelXmlFactory::putMixedContent(const std::wstring& text)
{
    finishTagOpen();
    m_closeOnNewLine = false;
    m_document << text;
}

void CZelXmlFactory::putComment(const std::wstring& text)
{
    finishTagOpen();
    m_document << nl << indent(0) << L"<!-- " << replaceNl(text, true) << L" -->";
}

std::wstring CZelXmlFactory::replaceNl(const std::wstring& text, bool indentLines) const
{
    std::wstring out;
    out.reserve(text.size());
    std::wstring lineBreak(nl);
    if (indentLines)
        lineBreak.append(static_cast<size_t>(std::max(m_level, 0L)), L'\t');
    size_t start = 0;
    for (size_t lf = text.find(L'\n'); lf != std::wstring::npos; lf = text.find(L'\n', start)) {
        size_t end = lf > start && text[lf - 1] == L'\r' ? lf - 1 : lf;
        out.append(text, start, end - start).append(lineBreak);
        start = lf + 1;
    }
    return out.append(text, start, std::wstring::npos);
}

std::wstring CZelXmlFactory::encodeAsXml(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\0')
            break;
        auto entity = m_entities.find(c);
        if (entity == m_entities.end())
            out += c;
        else
            out += entity->second;
    }
    return out;
}

void CZelXmlFactory::saveOnce(const WinPath& path) const
{
    WritableWhileSaving writable(path);
    SiblingFile next(path);
    next.write(WinAPI::toUtf8(m_document.str()));
    next.moveOnto(path);
}

void CZelXmlFactory::saveToFile(const WinPath& path) const
{
    WinPath target = path;
    bool switchedToLocal = false;
    for (;;) {
        try {
            saveOnce(target);
            return;
        } catch (const CZelException& e) {
            if (e.getErrorCode() == ERROR_ACCESS_DENIED && !switchedToLocal && isOwnShare(target)) {
                switchedToLocal = true;
                WinPath local = localPathOf(target);
                if (local.str() != target.str()) {
                    ZEL_LOG_WARNING << L"XML Factory: failed to create '" << target << L"', retry as '" << local
                                    << L"'";
                    target = local;
                    continue;
                }
                ZEL_LOG_ERROR << L"XML Factory: failed to determine local path of '" << target << L"'";
            }
            ZEL_LOG_ERROR << L"XML Factory: failed to create '" << target << L"'. " << ErrorW32(e.getErrorCode());
            if (!askToRetry(target))
                return;
        }
    }
}
