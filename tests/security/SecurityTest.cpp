#include "TestEnv.h"
#include "WineDifferences.h"

#include <QoKivZelUt/Security.h>

#include <gtest/gtest.h>

namespace {

TEST(CZelSid, WellKnownTextAndNames)
{
    const std::pair<CZelSid::WellKnownSid, const wchar_t*> table[] = {
        {CZelSid::World, L"S-1-1-0"},        {CZelSid::Guests, L"S-1-5-32-546"},
        {CZelSid::Users, L"S-1-5-32-545"},   {CZelSid::PowerUsers, L"S-1-5-32-547"},
        {CZelSid::AuthenticatedUsers, L"S-1-5-11"}, {CZelSid::Administrators, L"S-1-5-32-544"},
        {CZelSid::Null, L"S-1-0-0"},         {CZelSid::LocalSystem, L"S-1-5-18"},
    };
    for (const auto& row : table) {
        CZelSid known(row.first);
        EXPECT_EQ(row.second, known.toString());
        EXPECT_EQ(known, CZelSid(row.second));
    }
    EXPECT_FALSE(CZelSid(static_cast<CZelSid::WellKnownSid>(5)).IsValid());
    EXPECT_EQ(L"", CZelSid().toString());
    EXPECT_EQ(CZelSid(), CZelSid(L""));
    EXPECT_NE(CZelSid(CZelSid::World), CZelSid());
    EXPECT_EQ(L"S-1-5-21-1-2-3-1001", CZelSid(L"s-1-5-21-1-2-3-1001").toString());

    BYTE raw[SECURITY_MAX_SID_SIZE];
    SID_IDENTIFIER_AUTHORITY wide = {{1, 0, 3, 4, 5, 6}};  // above 32 bits: written in hexadecimal
    InitializeSid(raw, &wide, 1);
    *GetSidSubAuthority(raw, 0) = 7;
    EXPECT_EQ(L"S-1-0x010003040506-7", CZelSid(static_cast<PSID>(raw)).toString());
    EXPECT_EQ(CZelSid(static_cast<PSID>(raw)), CZelSid(L"S-1-0x010003040506-7"));

    // Text is read as the SID it wholly is, or as none: never as another SID.
    const std::wstring fifteen = L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13";
    const std::pair<std::wstring, std::wstring> texts[] = {
        {L"S-1-261-0", L"S-1-261-0"},         {L"S-1-4294967295-1", L"S-1-4294967295-1"},
        {L"S-1-0X0000000000FF-1", L"S-1-255-1"}, {L"S-1-5", L"S-1-5"},
        {fifteen, fifteen},                   {fifteen + L"-14", L""},
        {L"S-1-5-32-4294967840", L""},        {L"S-1-4294967296-1", L""},
        {L"S-1-0x1234567890123-1", L"" },     {L"S-1-5-32-544x", L""},
        {L"S-1-5-", L""},                     {L"S-1-5--1", L""},
        {L"S-1-0x-1", L""},                   {L"S-1-5-+1", L""},
        {L"S-1--5", L""},
    };
    for (const auto& t : texts)
        EXPECT_EQ(t.second, CZelSid(t.first).toString()) << WinAPI::toUtf8(t.first);

    CZelSid system(CZelSid::LocalSystem);
    EXPECT_EQ(L"SYSTEM", system.GetName());
    EXPECT_FALSE(system.GetDomain().empty());
    EXPECT_EQ(system.GetDomain() + L"\\SYSTEM", system.GetFQName());
    EXPECT_EQ(CZelSid(CZelSid::Administrators), CZelSid(L"Administrators"));
    EXPECT_EQ(CZelSid(CZelSid::Administrators), CZelSid(L".\\Administrators"));
    EXPECT_EQ(L"\\", CZelSid().GetFQName());

    CZelSid user = CZelSid::FromProcessUser();
    EXPECT_TRUE(user.IsValid());
    EXPECT_EQ(user, CZelSid::FromThreadUser());
    EXPECT_EQ(user, CZelSid(user.GetFQName()));
}

TEST(CZelAcl, EntriesOrderTextAndGrowth)
{
    CZelAce allowed(CZelSid(CZelSid::Users), GENERIC_READ, true);
    EXPECT_EQ(L"{0-3-0x80000000-[S-1-5-32-545]}", allowed.toString());
    EXPECT_THROW(CZelAce(0, 0, 1, CZelSid()), CZelException);

    const std::wstring text = L"{0-3-0x001f01ff-[S-1-5-18]}-{0-2-0x80000000-[S-1-1-0]}";
    CZelAcl parsed(text);
    ASSERT_EQ(2, parsed.GetAceCount());
    EXPECT_EQ(text, parsed.toString());
    qkztest::LogCapture dump;
    parsed.DumpToLog(L"parsed");
    EXPECT_EQ(L"", dump.missing({L"Entry 0: S-1-5-18", L"Specific right 8: yes", L"Specific right 15: no",
                                 L"SYNCHRONIZE: yes", L"Entry 1: S-1-1-0", L"GENERIC_READ: yes"}));
    EXPECT_FALSE(dump.contains(L"Specific right 16"));
    EXPECT_EQ(parsed, CZelAcl(static_cast<PACL>(parsed)));
    EXPECT_TRUE(parsed.IsValid());
    // What the list grants World, and nothing for a list that is not there.
    const CZelSid world(CZelSid::World);
    EXPECT_EQ(qkztest::effectiveRightsUnread() ? 0u : GENERIC_READ, parsed.GetEffectiveRights(world));
    EXPECT_EQ(0u, CZelAcl().GetEffectiveRights(world));

    parsed.AddAce(CZelAce(CZelSid(CZelSid::Guests), GENERIC_ALL, false));
    ASSERT_EQ(3, parsed.GetAceCount());
    EXPECT_EQ(1, parsed.GetAceAt(0).GetAceType());  // denied entries stand first
    EXPECT_EQ(CZelSid(CZelSid::Guests), parsed.GetAceAt(0).GetSid());

    // An entry whose SID cannot be read never widens access: allowing, it is
    // left out; denying, it denies everybody.
    qkztest::LogCapture log;
    CZelAcl odd(L"{300-2-0x1-[not a sid]}-{1-0-0x2-[S-1-5-11]}-{1-2-0x4-[]}-{0-0-0x5-[S-1-5-32-4294967840]}x"
                L"{0-0-0x3-[S-1-5-18]}");
    EXPECT_EQ(L"{1-2-0x00000004-[S-1-1-0]}-{1-0-0x00000002-[S-1-5-11]}", odd.toString());
    EXPECT_EQ(2, log.count(L"names no SID that can be read; left out"));
    EXPECT_EQ(0, CZelAcl(L"garbage").GetAceCount());

    // Copies and growth keep the entries exactly as they stand; only a new
    // denied entry goes to the front.
    CZelSecurityDescriptor mixed =
        CZelSecurityDescriptor::fromSddl(L"D:(A;;GA;;;SY)(D;;GA;;;BG)(A;;GR;;;BU)(D;;GW;;;WD)");
    CZelAcl copy = mixed.getDacl();
    std::wstring types;
    for (int i = 0; i < copy.GetAceCount(); ++i)
        types += std::to_wstring(copy.GetAceAt(i).GetAceType());
    EXPECT_EQ(L"0101", types);
    std::wstring before = copy.toString();
    EXPECT_EQ(before, CZelAcl(copy).toString());
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(copy.AddAce(0, 0, 0x10000 + i, CZelSid(CZelSid::World)));
    copy.AddAce(CZelAce(CZelSid(CZelSid::Guests), GENERIC_WRITE, false));
    EXPECT_EQ(0u, copy.toString().find(CZelAce(CZelSid(CZelSid::Guests), GENERIC_WRITE, false).toString() + L"-" + before));

    CZelAcl many;
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(1, many.AddAce(0, 0, static_cast<DWORD>(i + 1), CZelSid(CZelSid::World)));
    ASSERT_EQ(40, many.GetAceCount());
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(static_cast<DWORD>(i + 1), many.GetAceAt(i).GetAccessMask());
}

TEST(CZelSecurityDescriptor, SddlRoundTripsOnRealObjects)
{
    const wchar_t* dacls[] = {
        L"O:SYG:SYD:(A;OICI;GA;;;BA)(A;CI;GR;;;WD)",
        L"O:BAG:BAD:(D;;GA;;;BG)(A;OICIIO;GR;;;BU)(A;;GA;;;SY)",
        L"O:BAG:BAD:(A;;GA;;;SY)(D;;GA;;;BG)(A;;GR;;;BU)(D;;GW;;;WD)",
    };
    for (const wchar_t* sddl : dacls) {
        CZelSecurityDescriptor sd = CZelSecurityDescriptor::fromSddl(sddl);
        EXPECT_EQ(sddl, sd.toSddl());

        qkztest::TestRegistryKey key;
        sd.applyToRegistryKey(key.key());
        EXPECT_EQ(sddl, CZelSecurityDescriptor::fromRegistryKey(key.key()).toSddl());
        CZelSecurityDescriptor::fromSddl(L"D:(A;OICI;GA;;;WD)").applyToRegistryKey(key.key());  // so it can go

        SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.getSD(), FALSE};
        WinAPI::FileHandle event(CreateEventW(&sa, TRUE, FALSE, nullptr));
        ASSERT_TRUE(event.valid());
        CZelSecurityDescriptor back = CZelSecurityDescriptor::fromKernelObject(event);
        EXPECT_EQ(sddl, back.toSddl());

        qkztest::TempDir dir;
        WinPath file = dir.write(L"secured.txt", "x");
        sd.applyToFile(file);
        CZelSecurityDescriptor fileSd = CZelSecurityDescriptor::fromFile(file);
        if (qkztest::fileSecurityIsSynthesised())
            EXPECT_TRUE(fileSd.getDacl().IsValid() && fileSd.getOwner().IsValid());
        else
            EXPECT_EQ(sd.getDacl().toString(), fileSd.getDacl().toString()) << sddl;
        CZelSecurityDescriptor::fromSddl(L"D:(A;;FA;;;WD)").applyToFile(file);
        const WinPath missing = dir.path() / L"missing.txt";
        EXPECT_EQ(qkztest::failureOf([&] { sd.applyToFile(missing); }).message,
                  L"Could not set security information to " + missing.str());
    }

    CZelSecurityDescriptor parsed = CZelSecurityDescriptor::fromSddl(dacls[1]);
    CZelAcl dacl = parsed.getDacl();
    ASSERT_EQ(3, dacl.GetAceCount());
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, dacl.GetAceAt(0).GetAceType());
    EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, dacl.GetAceAt(1).GetAceFlags());
    EXPECT_EQ(CZelSid(CZelSid::Administrators), parsed.getOwner());
    EXPECT_THROW(CZelSecurityDescriptor::fromSddl(L"D:(X;;;;"), CZelException);
    // The texts and descriptors the system hands over are given back: many conversions keep nothing.
    const size_t before = qkztest::heapInUse();
    for (int i = 0; i < 3000; ++i)
        CZelSecurityDescriptor::fromSddl(dacls[i % 3]).toSddl();
    EXPECT_LT(qkztest::heapInUse(), before + 64 * 1024);
}

TEST(CZelSecurityDescriptor, BuildingFromParts)
{
    CZelSecurityDescriptor sd;
    CZelAcl dacl;
    dacl.AddAce(CZelAce(CZelSid(CZelSid::LocalSystem), GENERIC_ALL, true));
    sd.setDacl(dacl);
    sd.setOwner(CZelSid(CZelSid::Administrators));
    sd.setPrimaryGroup(CZelSid(CZelSid::Users));
    CZelAcl sacl;  // kept beside the other parts, left out of the text
    sacl.AddAce(SYSTEM_AUDIT_ACE_TYPE, SUCCESSFUL_ACCESS_ACE_FLAG, GENERIC_WRITE, CZelSid(CZelSid::World));
    sd.setSacl(sacl);
    EXPECT_EQ(sacl.toString(), sd.getSacl().toString());
    EXPECT_EQ(L"O:BAG:BUD:(A;OICI;GA;;;SY)", sd.toSddl());
    EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + CZelSid::FromProcessUser().toString() + L")",
              CZelSecurityDescriptor::forCallerAlone().toSddl());
    CZelSecurityDescriptor closed;  // no entries: nobody is granted anything, not everybody everything
    closed.setDacl(CZelAcl(L"{0-0-0x1f01ff-[not a sid]}"));
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(closed.getSD(), &present, &list, &defaulted));
    EXPECT_TRUE(present && list && list->AceCount == 0);
    CZelSecurityDescriptor copy(sd.getSD());
    EXPECT_EQ(sd.toSddl(), copy.toSddl());
    EXPECT_EQ(CZelSid(CZelSid::Users), copy.getPrimaryGroup());
    EXPECT_EQ(qkztest::failureOf([&] { CZelSecurityDescriptor::fromFile(WinPath(L"C:\\qkz-missing\\file")); }).message,
              L"Could not get security information from C:\\qkz-missing\\file");
}

} // namespace
