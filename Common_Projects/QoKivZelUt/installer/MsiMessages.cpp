// The record handler: every Installer message of an operation arrives here.
#include <QoKivZelUt/MsiProduct.h>

#include "foundation/Log.h"

std::unordered_map<unsigned int, ZelMsiProduct::HandlerRecord> ZelMsiProduct::m_handlers;

namespace {

const int kNoDecision = 7; // IDNO: nobody decided for the programs in use

std::wstring answerName(int answer)
{
    switch (answer) {
    case IDOK:
        return L"IDOK";
    case IDRETRY:
        return L"IDRETRY";
    case IDIGNORE:
        return L"IDIGNORE";
    default:
        return std::to_wstring(answer);
    }
}

// A field that may be null or missing reads as 0.
int integerOrZero(const ZelMsiRecord& record, unsigned int i)
{
    int value = record[i].asInteger();
    return value == static_cast<int>(MSI_NULL_INTEGER) ? 0 : value;
}

} // namespace

void ZelMsiProduct::setHandlers()
{
    const std::pair<INSTALLMESSAGE, HandlerRecord> rows[] = {
        {INSTALLMESSAGE_FATALEXIT, {INSTALLLOGMODE_FATALEXIT, &ZelMsiProduct::handleError}},
        {INSTALLMESSAGE_ERROR, {INSTALLLOGMODE_ERROR, &ZelMsiProduct::handleError}},
        {INSTALLMESSAGE_WARNING, {INSTALLLOGMODE_WARNING, &ZelMsiProduct::handleWarning}},
        {INSTALLMESSAGE_USER, {INSTALLLOGMODE_USER, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_INFO, {INSTALLLOGMODE_INFO, &ZelMsiProduct::handleInfo}},
        {INSTALLMESSAGE_FILESINUSE, {INSTALLLOGMODE_FILESINUSE, &ZelMsiProduct::handleFilesInUse}},
        {INSTALLMESSAGE_RESOLVESOURCE, {INSTALLLOGMODE_RESOLVESOURCE, &ZelMsiProduct::handleInfo}},
        {INSTALLMESSAGE_OUTOFDISKSPACE, {INSTALLLOGMODE_OUTOFDISKSPACE, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_ACTIONSTART, {INSTALLLOGMODE_ACTIONSTART, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_ACTIONDATA, {INSTALLLOGMODE_ACTIONDATA, &ZelMsiProduct::handleProgress}},
        {INSTALLMESSAGE_PROGRESS, {INSTALLLOGMODE_PROGRESS, &ZelMsiProduct::handleProgress}},
        {INSTALLMESSAGE_COMMONDATA, {INSTALLLOGMODE_COMMONDATA, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_INITIALIZE, {INSTALLLOGMODE_INITIALIZE, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_TERMINATE, {INSTALLLOGMODE_TERMINATE, &ZelMsiProduct::returnIDOK}},
        {INSTALLMESSAGE_SHOWDIALOG, {INSTALLLOGMODE_SHOWDIALOG, &ZelMsiProduct::returnIDOK}},
    };
    for (const auto& row : rows)
        m_handlers.emplace(static_cast<unsigned int>(row.first), row.second);
}

unsigned long ZelMsiProduct::getMessageFilter()
{
    unsigned long filter = 0;
    for (const auto& entry : m_handlers)
        filter |= entry.second.filter;
    return filter;
}

int WINAPI ZelMsiProduct::MsiUIHandler(void* context, unsigned int messageType, MSIHANDLE record)
{
    return static_cast<ZelMsiProduct*>(context)->dispatchUIMessage(messageType, record);
}

int ZelMsiProduct::dispatchUIMessage(unsigned int messageType, MSIHANDLE record)
{
    unsigned int type = messageType & 0xFF000000u;
    auto found = m_handlers.find(type);
    if (found == m_handlers.end()) {
        ZEL_LOG_WARNING << L"No message handler installed for messageType " << type;
        return 0;
    }
    // The Installer calls through a C boundary: nothing may escape it.
    try {
        return (this->*found->second.handler)(static_cast<INSTALLMESSAGE>(type), ZelMsiRecord(record));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"MsiAction: handling message " << type << L" failed: " << e.getFullText();
    } catch (const std::exception& e) {
        ZEL_LOG_ERROR << L"MsiAction: handling message " << type << L" failed: " << e.what();
    } catch (...) {
        ZEL_LOG_ERROR << L"MsiAction: handling message " << type << L" failed: an exception of unknown type";
    }
    return 0;
}

// ---------------------------------------------------------------- handlers

int ZelMsiProduct::handleError(INSTALLMESSAGE type, const ZelMsiRecord& record)
{
    std::wstring message = record.format();
    ZEL_LOG_ERROR << L"MsiAction: " << (type == INSTALLMESSAGE_FATALEXIT ? L"Fatal error" : L"Error") << L": "
                  << message;
    m_lastErrorText = message;
    return 0;
}

int ZelMsiProduct::handleWarning(INSTALLMESSAGE, const ZelMsiRecord& record)
{
    ZEL_LOG_WARNING << L"MsiAction: " << record.format();
    return 0;
}

int ZelMsiProduct::handleInfo(INSTALLMESSAGE, const ZelMsiRecord&)
{
    return 0;
}

int ZelMsiProduct::returnIDOK(INSTALLMESSAGE, const ZelMsiRecord&)
{
    return IDOK;
}

int ZelMsiProduct::returnZero(INSTALLMESSAGE, const ZelMsiRecord&)
{
    return 0;
}

int ZelMsiProduct::handleFilesInUse(INSTALLMESSAGE, const ZelMsiRecord& record)
{
    unsigned int count = record.fieldCount();
    // Fields (1, 2), (3, 4), ... while the pair's first field number is below the count.
    for (unsigned int i = 0; i + 1 < count; i += 2) {
        std::wstring program = record[i].isNull() ? L"(null)" : record[i].asString();
        std::wstring title = record[i + 1].isNull() ? L"(null)" : record[i + 1].asString();
        ZEL_LOG_WARNING << L"MsiAction: program <" << program << L"> with window title <" << title
                        << L"> has to be stopped";
        for (IProgressCallback* callback : m_callbacks) {
            int answer = callback->filesInUse(program, title);
            if (answer != 0) {
                ZEL_LOG_INFO << L"MsiAction: callback returned " << answerName(answer) << L" for handling program <"
                             << program << L">";
                return answer;
            }
        }
    }
    return kNoDecision;
}

// Progress records: field 1 says what fields 2 to 4 mean (0 reset, 1 action
// info, 2 progress). Steps are a fixed share of the phase's ticks per
// component; script generation counts no steps.
int ZelMsiProduct::handleProgress(INSTALLMESSAGE type, const ZelMsiRecord& record)
{
    if (type == INSTALLMESSAGE_PROGRESS && record.fieldCount() == 4) {
        switch (integerOrZero(record, 0)) {
        case 0:
            m_progressTotal = integerOrZero(record, 1);
            m_progress = 0;
            if (m_scriptPhase && !m_waitReported)
                logStep(false);
            m_scriptPhase = integerOrZero(record, 3) == 1;
            break;
        case 1:
            if (integerOrZero(record, 2) == 0) {
                m_ticksPerActionData = integerOrZero(record, 1);
            } else {
                m_progress += integerOrZero(record, 1);
                m_ticksPerActionData = 0;
            }
            break;
        case 2:
            if (m_progressTotal != 0)
                m_progress += integerOrZero(record, 1);
            break;
        default:
            break;
        }
        if (m_scriptPhase)
            return IDOK;
    } else {
        if (m_ticksPerActionData != 0 && m_progressTotal != 0 && m_scriptPhase && type == INSTALLMESSAGE_ACTIONDATA)
            m_progress += m_ticksPerActionData;
        if (m_scriptPhase)
            return IDOK;
    }
    if (m_progressTotal == 0 || m_numberOfComponents == 0)
        return IDOK;
    unsigned int tickSize = static_cast<unsigned int>(m_progressTotal) / m_numberOfComponents;
    // A phase with fewer ticks than components would never move forward.
    if (tickSize == 0)
        tickSize = 1;
    while (static_cast<long long>(m_ticksReported) + tickSize < m_progress) {
        if (m_currentStep < numberOfSteps()) {
            ++m_currentStep;
            for (IProgressCallback* callback : m_callbacks)
                callback->step(m_currentStep, numberOfSteps(), false);
        }
        m_ticksReported += static_cast<int>(tickSize);
    }
    return IDOK;
}

void ZelMsiProduct::logStep(bool waiting)
{
    if (m_currentStep >= numberOfSteps())
        return;
    ++m_currentStep;
    for (IProgressCallback* callback : m_callbacks)
        callback->step(m_currentStep, numberOfSteps(), waiting);
}
