#include "TestEnv.h"

#include <QoKivZelUt/XmlCommunicator.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

namespace {

class XmlCommunicator : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(XmlCommunicator, WireFormatOrderAndCase)
{
    CKIVSetupXmlCommunicator m;
    m.setValue(L"b", L"2");
    m.setValue(L"A", L"1");
    m.setValue(L"a", L"ignored");
    m.setValue(L"c", L"");
    EXPECT_EQ(L"1", m.getValue(L"a"));
    EXPECT_EQ(L"", m.getValue(L"missing"));
    std::wstring xml = m.toString();
    EXPECT_EQ(0u, xml.find(L"<KIVSetupData><A>1</A><b>2</b><c"));
    EXPECT_EQ(L"</KIVSetupData>", xml.substr(xml.size() - 15));

    CKIVSetupXmlCommunicator exception;
    exception.setValue(L"exceptionCode", L"5");
    exception.setValue(L"exceptionText", L"Access denied");
    EXPECT_EQ(L"<KIVSetupData><exceptionCode>5</exceptionCode><exceptionText>Access denied</exceptionText></KIVSetupData>",
              exception.toString());
}

TEST_F(XmlCommunicator, TextWithMarkupBreaksAndNonAsciiRoundTrips)
{
    const std::wstring tricky = L"a < b && c > \"d\" 'e' \u00fc\u4e2d\r\nnext line\ttab";
    CKIVSetupXmlCommunicator out;
    out.setValue(L"text", tricky);
    out.setValue(L"path", L"C:\\Program Files\\x.dll");
    CKIVSetupXmlCommunicator in;
    ASSERT_TRUE(in.readXml(out.toString()));
    EXPECT_EQ(tricky, in.getValue(L"TEXT"));
    EXPECT_EQ(L"C:\\Program Files\\x.dll", in.getValue(L"path"));
}

TEST_F(XmlCommunicator, EmptyDeclarationsAndBadInput)
{
    CKIVSetupXmlCommunicator empty;
    std::wstring xml = empty.toString();
    EXPECT_EQ(L"<KIVSetupData/>", xml);
    CKIVSetupXmlCommunicator back;
    EXPECT_FALSE(back.readXml(xml));
    // White space between elements is no entry, and a root holding only white space is no message.
    EXPECT_FALSE(back.readXml(L"<KIVSetupData>\n   \n</KIVSetupData>"));
    CKIVSetupXmlCommunicator indented;
    ASSERT_TRUE(indented.readXml(L"<KIVSetupData>\n  <m_app>x.exe</m_app>\n  <m_visible>true</m_visible>\n</KIVSetupData>"));
    EXPECT_EQ(L"x.exe", indented.getValue(L"m_app"));
    EXPECT_EQ(L"", indented.getValue(L"#text"));

    CKIVSetupXmlCommunicator declared;
    EXPECT_FALSE(declared.readXml(L"<?xml version=\"1.0\"?><KIVSetupData><a>1</a></KIVSetupData>"));

    qkztest::LogCapture log;
    CKIVSetupXmlCommunicator bad;
    EXPECT_FALSE(bad.readXml(L"this is <not xml"));
    EXPECT_TRUE(log.contains(L"Could not parse input string \nthis is <not xml\nReason: "));
    // A document type is refused: its entities are neither fetched nor expanded.
    EXPECT_FALSE(bad.readXml(L"<!DOCTYPE KIVSetupData [<!ENTITY s \"inner\">]><KIVSetupData><a>&s;</a></KIVSetupData>"));
    EXPECT_TRUE(log.contains(L"Reason: a document type declaration is not accepted"));
    bad.setValue(L"kept", L"1");
    EXPECT_TRUE(bad.readXml(L"<broken"));
    EXPECT_TRUE(bad.readXml(L"<KIVSetupData><kept>2</kept><new>3</new></KIVSetupData>"));
    EXPECT_EQ(L"1", bad.getValue(L"kept"));
    EXPECT_EQ(L"3", bad.getValue(L"new"));
    const auto entries = log.entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const qkztest::LogEntry& e) {
        return e.level == 1 && e.debug && e.text == L"Created 2 variables from input XML";
    }));
}

// A caller need not initialise COM itself, and finds its thread as it left it.
TEST(XmlCommunicatorThreads, WorksWithoutAndBesideTheCallersComInitialisation)
{
    for (DWORD model : {DWORD(0xFFFFFFFF), DWORD(COINIT_MULTITHREADED)}) {
        std::wstring back;
        HRESULT after = E_FAIL;
        std::thread worker([&] {
            if (model != 0xFFFFFFFFu)
                CoInitializeEx(nullptr, model);
            CKIVSetupXmlCommunicator out, in;
            out.setValue(L"m_app", L"C:\\a b\\x.exe");
            if (in.readXml(out.toString()))
                back = in.getValue(L"m_app");
            after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            CoUninitialize();
            if (model != 0xFFFFFFFFu)
                CoUninitialize();
        });
        worker.join();
        EXPECT_EQ(L"C:\\a b\\x.exe", back);
        EXPECT_EQ(model == 0xFFFFFFFFu ? S_OK : S_FALSE, after);
    }
}

} // namespace
