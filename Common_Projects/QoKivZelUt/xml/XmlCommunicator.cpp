#include <QoKivZelUt/AtlBstr.h>
#include <QoKivZelUt/XmlCommunicator.h>

#include "foundation/ComPtr.h"
#include "foundation/Log.h"

#include <msxml.h>

#include <cwctype>
#include <new>

using ZelUt::detail::ComApartment;
using ZelUt::detail::ComPtr;

namespace {

ComPtr<IXMLDOMDocument> createDocument()
{
    ComPtr<IXMLDOMDocument> document;
    if (FAILED(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                document.putVoid())))
        document.reset();
    else
        document->put_async(VARIANT_FALSE);
    return document;
}

// A BSTR for the DOM; running out of memory is an exception, not an empty text.
ATL::CComBSTR bstr(const std::wstring& text)
{
    ATL::CComBSTR b(text);
    if (!b.m_str)
        throw std::bad_alloc();
    return b;
}

std::wstring text(const ATL::CComBSTR& b)
{
    return b.m_str ? std::wstring(b.m_str, b.Length()) : std::wstring();
}

// A message is a root and its elements, nothing more. A document type
// declaration is refused before the text is read where the DOM can do that, so
// it neither fetches external entities (a UNC name would be opened with the
// caller's credentials) nor expands internal ones.
void refuseDocumentTypes(IXMLDOMDocument* document)
{
    document->put_resolveExternals(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    // setProperty belongs to the document's later interface: reached by name.
    OLECHAR method[] = L"setProperty";
    LPOLESTR names[] = {method};
    DISPID id = 0;
    if (FAILED(document->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
        return;
    ATL::CComBSTR property = bstr(L"ProhibitDTD");
    VARIANT arguments[2];  // last argument first
    VariantInit(&arguments[0]);
    arguments[0].vt = VT_BOOL;
    arguments[0].boolVal = VARIANT_TRUE;
    VariantInit(&arguments[1]);
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = property.m_str;
    DISPPARAMS parameters = {arguments, nullptr, 2, 0};
    document->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
}

// A DOM that ignores the prohibition has read the declaration: its document is
// refused all the same.
bool hasDocumentType(IXMLDOMDocument* document)
{
    ComPtr<IXMLDOMDocumentType> type;
    return SUCCEEDED(document->get_doctype(type.put())) && type;
}

void logUnreadable(const std::wstring& xml, const std::wstring& reason)
{
    ZEL_LOG_ERROR << L"Could not parse input string \n" << xml << L"\nReason: " << reason;
}

} // namespace

bool CKIVSetupXmlCommunicator::NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const
{
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

void CKIVSetupXmlCommunicator::setValue(const std::wstring& name, const std::wstring& value)
{
    m_values.emplace(name, value);
}

std::wstring CKIVSetupXmlCommunicator::getValue(const std::wstring& name) const
{
    auto found = m_values.find(name);
    return found == m_values.end() ? std::wstring() : found->second;
}

// The DOM is a COM object: a caller that never initialised COM (the locked-module
// query on a plain thread, say) must not silently get no message at all.
std::wstring CKIVSetupXmlCommunicator::toString() const
{
    ComApartment apartment;
    ComPtr<IXMLDOMDocument> document = createDocument();
    if (!document)
        return std::wstring();
    ComPtr<IXMLDOMElement> root;
    ComPtr<IXMLDOMNode> appendedRoot;
    bool built = SUCCEEDED(document->createElement(bstr(L"KIVSetupData"), root.put())) &&
                 SUCCEEDED(document->appendChild(root.get(), appendedRoot.put()));
    // Each entry is serialised on its own and the root is written around them:
    // some DOM implementations indent a document's elements when they print it,
    // which the wire format does not allow.
    std::wstring entries;
    for (auto it = m_values.begin(); built && it != m_values.end(); ++it) {
        ComPtr<IXMLDOMElement> element;
        ComPtr<IXMLDOMNode> appended;
        ATL::CComBSTR entry;
        built = SUCCEEDED(document->createElement(bstr(it->first), element.put())) &&
                SUCCEEDED(element->put_text(bstr(it->second))) &&
                SUCCEEDED(root->appendChild(element.get(), appended.put())) && SUCCEEDED(element->get_xml(&entry));
        entries += text(entry);
    }
    ATL::CComBSTR xml;
    if (built && m_values.empty())
        built = SUCCEEDED(root->get_xml(&xml));
    else if (built)
        xml = ATL::CComBSTR(L"<KIVSetupData>" + entries + L"</KIVSetupData>");
    if (!built || xml.Length() == 0) {
        ZEL_LOG_ERROR << L"Failed in formulating XML";
        return std::wstring();
    }
    std::wstring result = text(xml);
    while (!result.empty() && std::iswspace(result.back()))
        result.pop_back();
    ZelLogStream(1, L' ', true) << L"The XML formulated looks like: \n\n" << result;
    return result;
}

bool CKIVSetupXmlCommunicator::readXml(const std::wstring& xml)
{
    ComApartment apartment;
    ComPtr<IXMLDOMDocument> document = createDocument();
    if (!document)
        return false;
    refuseDocumentTypes(document.get());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(document->loadXML(bstr(xml), &loaded)) || loaded != VARIANT_TRUE) {
        ComPtr<IXMLDOMParseError> error;
        ATL::CComBSTR reason;
        if (SUCCEEDED(document->get_parseError(error.put())) && error)
            error->get_reason(&reason);
        logUnreadable(xml, text(reason));
    } else if (hasDocumentType(document.get())) {
        logUnreadable(xml, L"a document type declaration is not accepted");
    } else {
        ComPtr<IXMLDOMNode> first;
        ComPtr<IXMLDOMNodeList> children;
        long count = 0;
        if (SUCCEEDED(document->get_firstChild(first.put())) && first &&
            SUCCEEDED(first->get_childNodes(children.put())) && children && SUCCEEDED(children->get_length(&count))) {
            for (long i = 0; i < count; ++i) {
                ComPtr<IXMLDOMNode> node;
                ATL::CComBSTR name, value;
                if (SUCCEEDED(children->get_item(i, node.put())) && node && SUCCEEDED(node->get_nodeName(&name)) &&
                    SUCCEEDED(node->get_text(&value)))
                    setValue(text(name), text(value));
            }
        }
    }
    ZelLogStream(1, L' ', true) << L"Created " << m_values.size() << L" variables from input XML";
    return !m_values.empty();
}
