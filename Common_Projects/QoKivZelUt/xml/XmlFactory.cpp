#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/XmlFactory.h>
#include <QoKivZelUt/ZelPath.h>

#include "foundation/Log.h"
#include "xml/XmlText.h"

#include <algorithm>
#include <cwchar>

const wchar_t* const CZelXmlFactory::nl = L"\r\n";
std::map<wchar_t, const wchar_t*> CZelXmlFactory::m_entities;
bool CZelXmlFactory::m_initialized = CZelXmlFactory::initialize();

namespace {

const wchar_t kCaption[] = L"QoKivSetup";
const size_t kLongestInlineText = 260;
// Deeper than any real document, and the most common readers take by default
// (libxml2 stops at 256); each line is indented by its depth, so the bound
// also keeps a document's size in proportion to what was written.
const long kDeepestNesting = 256;

[[noreturn]] void refuse(const std::wstring& why)
{
    throw CZelException(ERROR_INVALID_PARAMETER, L"XML Factory: " + why);
}

// Characters XML cannot carry were written as U+FFFD: said once per call.
void warnReplaced(size_t replaced)
{
    if (replaced)
        ZEL_LOG_WARNING << L"XML Factory: " << replaced << L" characters XML cannot carry were written as U+FFFD";
}

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

// A prompt can be answered only on a window station with a display: in a
// service (or on any other station without one) the box would wait for ever.
bool somebodyCanAnswer()
{
    USEROBJECTFLAGS flags = {};
    HWINSTA station = GetProcessWindowStation();
    return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE);
}

bool askToRetry(const WinPath& path)
{
    if (!somebodyCanAnswer()) {
        ZEL_LOG_ERROR << L"XML Factory: nobody can be asked to retry saving '" << path
                      << L"' (no interactive desktop); it is not saved";
        return false;
    }
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
    m_entities.insert(std::begin(ZelUt::xml::kEntities), std::end(ZelUt::xml::kEntities));
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

// A new document starts empty: nothing of an unfinished one stays open.
void CZelXmlFactory::reset()
{
    m_document.str(std::wstring());
    m_document.clear();
    m_openElements.clear();
    m_tagOpen = false;
    m_closeOnNewLine = true;
    m_level = 0;
    m_rootWritten = false;
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
    const std::wstring& href = stylesheet.str();
    if (href.find(L"?>") != std::wstring::npos || href.find(L'"') != std::wstring::npos)
        refuse(L"a style-sheet path may not hold \"?>\" or '\"': " + href);
    reset();
    addXmlDeclaration();
    m_document << nl << L"<?xml-stylesheet type=\"text/xsl\" href=\"" << stylesheet.str() << L"\"?>";
}

void CZelXmlFactory::endDocument()
{
    if (!m_rootWritten)
        refuse(L"the document has no root element.");
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

// What would make the document ill-formed is refused before anything is written.
void CZelXmlFactory::beginElement(const std::wstring& name, const Attributes& attributes)
{
    if (!ZelUt::xml::isName(name))
        refuse(L"'" + name + L"' is not an XML name.");
    if (m_level == 0 && m_rootWritten)
        refuse(L"a document has one root element; '" + name + L"' would be a second.");
    if (m_level >= kDeepestNesting)
        refuse(L"elements may nest at most " + std::to_wstring(kDeepestNesting) + L" levels deep.");
    Attributes sorted(attributes);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return _wcsicmp(a.first.c_str(), b.first.c_str()) < 0;
    });
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!ZelUt::xml::isName(sorted[i].first))
            refuse(L"'" + sorted[i].first + L"' is not an XML name.");
        for (size_t j = i + 1; j < sorted.size() && _wcsicmp(sorted[i].first.c_str(), sorted[j].first.c_str()) == 0; ++j)
            if (sorted[i].first == sorted[j].first)
                refuse(L"the attribute '" + sorted[i].first + L"' is given twice.");
    }
    finishTagOpen();
    m_document << nl << indent(0) << L'<' << name;
    size_t replaced = 0;
    for (const auto& attribute : sorted) {
        size_t here = 0;
        m_document << L' ' << attribute.first << L"=\"" << ZelUt::xml::escapeAttribute(attribute.second, here) << L'"';
        replaced += here;
    }
    warnReplaced(replaced);
    m_openElements.push_back(name);
    ++m_level;
    m_tagOpen = true;
    m_rootWritten = true;
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
    if (m_level == 0)
        refuse(L"text belongs inside the root element.");
    finishTagOpen();
    size_t replaced = 0;
    if (isShort(text)) {
        m_closeOnNewLine = false;
        if (cdata)
            m_document << L"<![CDATA[" << ZelUt::xml::cdataContent(text, replaced) << L"]]>";
        else
            m_document << ZelUt::xml::escapeText(text, replaced);
    } else if (cdata) {
        m_closeOnNewLine = false;
        m_document << L"<![CDATA[" << nl << replaceNl(ZelUt::xml::cdataContent(text, replaced), false) << nl
                   << indent(-1) << L"]]>";
    } else {
        m_closeOnNewLine = true;
        m_document << nl << indent(0) << replaceNl(ZelUt::xml::escapeText(text, replaced), true);
    }
    warnReplaced(replaced);
}

void CZelXmlFactory::putMixedContent(const std::wstring& text)
{
    if (m_level == 0)
        refuse(L"content belongs inside the root element.");
    finishTagOpen();
    m_closeOnNewLine = false;
    m_document << text;
}

void CZelXmlFactory::putComment(const std::wstring& text)
{
    finishTagOpen();
    size_t replaced = 0;
    m_document << nl << indent(0) << L"<!-- " << replaceNl(ZelUt::xml::commentText(text, replaced), true) << L" -->";
    warnReplaced(replaced);
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
    size_t replaced = 0;
    std::wstring out = ZelUt::xml::escapeText(text, replaced);
    warnReplaced(replaced);
    return out;
}

void CZelXmlFactory::saveOnce(const WinPath& path) const
{
    WritableWhileSaving writable(path);
    WinAPI::ReplacementFile next(path);
    WinAPI::writeFile(next.handle(), WinAPI::toUtf8(m_document.str()));
    next.commit();
}

bool CZelXmlFactory::saveToFile(const WinPath& path) const
{
    WinPath target = path;
    bool switchedToLocal = false;
    for (;;) {
        try {
            saveOnce(target);
            return true;
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
                return false;
        }
    }
}
