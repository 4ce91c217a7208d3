// The optional configuration (ChangeServiceConfig2A / QueryServiceConfig2A),
// the extended enumeration and the dependents of a service.
#include "scmtest.h"

#include <vector>

namespace {

// QueryServiceConfig2A through the size protocol.
std::vector<BYTE> QueryConfig2(SC_HANDLE svc, DWORD level) {
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfig2A(svc, level, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buf(needed);
    if (needed > 1) {
        DWORD again = 0;
        EXPECT_FALSE(QueryServiceConfig2A(svc, level, buf.data(), needed - 1, &again));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
    EXPECT_TRUE(QueryServiceConfig2A(svc, level, buf.data(), needed, &needed)) << GetLastError();
    return buf;
}

std::vector<std::string> Names(const std::vector<BYTE>& buf, DWORD count) {
    std::vector<std::string> out;
    auto* list = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buf.data());
    for (DWORD i = 0; i < count; ++i)
        out.emplace_back(list[i].lpServiceName);
    return out;
}

} // namespace

TEST_F(ScmTest, FailureActionsAreStoredChangedInPartsAndQueriedBack) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Recover"));
    ASSERT_NE(svc.h, nullptr);

    // Nothing configured: an empty answer.
    auto buf = QueryConfig2(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS);
    auto* fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
    EXPECT_EQ(fa->cActions, 0u);
    EXPECT_EQ(fa->lpsaActions, nullptr);
    EXPECT_EQ(fa->lpCommand, nullptr);
    EXPECT_EQ(fa->lpRebootMsg, nullptr);

    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RUN_COMMAND, 100}, {SC_ACTION_NONE, 0}};
    char command[] = "/bin/echo failed %1%";
    char reboot[] = "going down";
    SERVICE_FAILURE_ACTIONSA set{86400, reboot, command, 3, actions};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set))
        << GetLastError();
    buf = QueryConfig2(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS);
    fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
    EXPECT_EQ(fa->dwResetPeriod, 86400u);
    ASSERT_EQ(fa->cActions, 3u);
    EXPECT_EQ(fa->lpsaActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(fa->lpsaActions[0].Delay, 5000u);
    EXPECT_EQ(fa->lpsaActions[1].Type, SC_ACTION_RUN_COMMAND);
    EXPECT_EQ(fa->lpsaActions[2].Type, SC_ACTION_NONE);
    EXPECT_STREQ(fa->lpCommand, command);
    EXPECT_STREQ(fa->lpRebootMsg, reboot);
    // Everything lies inside the caller's buffer.
    const BYTE* end = buf.data() + buf.size();
    EXPECT_TRUE(reinterpret_cast<const BYTE*>(fa->lpsaActions + 3) <= end);
    EXPECT_TRUE(reinterpret_cast<const BYTE*>(fa->lpCommand) + sizeof command <= end);

    // NULL parts stay as they are; "" removes a string; an empty array
    // removes the actions and the reset period.
    SERVICE_FAILURE_ACTIONSA keep{1, nullptr, nullptr, 0, nullptr};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &keep));
    char empty[] = "";
    SERVICE_FAILURE_ACTIONSA noCommand{0, nullptr, empty, 0, nullptr};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &noCommand));
    buf = QueryConfig2(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS);
    fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
    EXPECT_EQ(fa->dwResetPeriod, 86400u);
    EXPECT_EQ(fa->cActions, 3u);
    EXPECT_EQ(fa->lpCommand, nullptr);
    EXPECT_STREQ(fa->lpRebootMsg, reboot);
    SERVICE_FAILURE_ACTIONSA clear{0, nullptr, nullptr, 0, actions};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &clear));
    buf = QueryConfig2(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS);
    fa = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
    EXPECT_EQ(fa->cActions, 0u);
    EXPECT_EQ(fa->dwResetPeriod, 0u);
    // A NULL information pointer changes nothing.
    EXPECT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr));
}

TEST_F(ScmTest, FailureActionsCheckTypesRightsAndPrivilege) {
    Handle mgr(Manager());
    {
        Handle s(CreateTestService(mgr.h, "Guarded"));
        ASSERT_NE(s.h, nullptr);
    }
    Handle svc(OpenServiceA(mgr.h, "Guarded", SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG));
    ASSERT_NE(svc.h, nullptr);
    // An unknown type, written as a C caller's memory would hold it.
    SC_ACTION bad[] = {{SC_ACTION_NONE, 0}};
    DWORD unknown = 7;
    memcpy(&bad[0].Type, &unknown, sizeof unknown);
    SERVICE_FAILURE_ACTIONSA set{0, nullptr, nullptr, 1, bad};
    EXPECT_FALSE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A restart needs the start right on the handle.
    SC_ACTION restart[] = {{SC_ACTION_RESTART, 0}};
    set.lpsaActions = restart;
    EXPECT_FALSE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Handle full(OpenServiceA(mgr.h, "Guarded", SERVICE_ALL_ACCESS));
    EXPECT_TRUE(ChangeServiceConfig2A(full.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set));
    // A reboot needs the shutdown privilege enabled.
    SC_ACTION reboot[] = {{SC_ACTION_REBOOT, 0}};
    set.lpsaActions = reboot;
    ASSERT_TRUE(SetShutdownPrivilege(false));
    EXPECT_FALSE(ChangeServiceConfig2A(full.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    ASSERT_TRUE(SetShutdownPrivilege(true));
    EXPECT_TRUE(ChangeServiceConfig2A(full.h, SERVICE_CONFIG_FAILURE_ACTIONS, &set))
        << GetLastError();
    SetShutdownPrivilege(false);

    EXPECT_FALSE(ChangeServiceConfig2A(full.h, 9, &set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    DWORD needed = 0;
    BYTE small[4];
    EXPECT_FALSE(QueryServiceConfig2A(full.h, 0, small, sizeof small, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    Handle queryOnly(OpenServiceA(mgr.h, "Guarded", SERVICE_QUERY_CONFIG));
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    EXPECT_FALSE(ChangeServiceConfig2A(queryOnly.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScmTest, DelayedStartAndActionsFlagRoundTrip) {
    Handle mgr(Manager());
    Handle svc(CreateTestService(mgr.h, "Later"));
    ASSERT_NE(svc.h, nullptr);
    auto buf = QueryConfig2(svc.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO);
    EXPECT_EQ(buf.size(), sizeof(SERVICE_DELAYED_AUTO_START_INFO));
    EXPECT_FALSE(reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buf.data())->fDelayedAutostart);
    SERVICE_DELAYED_AUTO_START_INFO delayed{7}; // any non-zero value is TRUE
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed));
    buf = QueryConfig2(svc.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO);
    EXPECT_EQ(reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buf.data())->fDelayedAutostart,
              TRUE);

    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ASSERT_TRUE(ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    buf = QueryConfig2(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
    EXPECT_EQ(reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buf.data())
                  ->fFailureActionsOnNonCrashFailures,
              TRUE);

    // A member of a load-order group cannot be a delayed auto-start service.
    Handle grouped(CreateServiceA(mgr.h, "Grouped", nullptr, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, "/bin/true", "SomeGroup", nullptr, nullptr,
                                  nullptr, nullptr));
    ASSERT_NE(grouped.h, nullptr);
    EXPECT_FALSE(
        ChangeServiceConfig2A(grouped.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ScmTest, ExtendedEnumerationGivesProcessIdsAndFiltersByGroup) {
    Handle mgr(Manager());
    Handle running(CreateTestService(mgr.h, "ExRun"));
    ASSERT_NE(running.h, nullptr);
    Handle grouped(CreateServiceA(mgr.h, "ExGrouped", nullptr, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, "/bin/true", "Net", nullptr, nullptr,
                                  nullptr, nullptr));
    ASSERT_NE(grouped.h, nullptr);
    ASSERT_TRUE(StartServiceA(running.h, 0, nullptr));
    ASSERT_TRUE(WaitForState(running.h, SERVICE_RUNNING));

    auto enumerate = [&](DWORD state, const char* group, std::vector<BYTE>& buf) {
        DWORD needed = 0, count = 0, resume = 0;
        EnumServicesStatusExA(mgr.h, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, state, nullptr, 0,
                              &needed, &count, &resume, group);
        buf.assign(needed + 1, 0);
        resume = 0;
        EXPECT_TRUE(EnumServicesStatusExA(mgr.h, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, state,
                                          buf.data(), static_cast<DWORD>(buf.size()), &needed,
                                          &count, &resume, group))
            << GetLastError();
        return count;
    };
    std::vector<BYTE> buf;
    auto first = [&] { return reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSA*>(buf.data()); };
    ASSERT_EQ(enumerate(SERVICE_ACTIVE, nullptr, buf), 1u);
    EXPECT_STREQ(first()->lpServiceName, "ExRun");
    EXPECT_EQ(first()->ServiceStatusProcess.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(first()->ServiceStatusProcess.dwProcessId, 0u);
    ASSERT_EQ(enumerate(SERVICE_STATE_ALL, "net", buf), 1u);
    EXPECT_STREQ(first()->lpServiceName, "ExGrouped");
    ASSERT_EQ(enumerate(SERVICE_STATE_ALL, "", buf), 1u);
    EXPECT_STREQ(first()->lpServiceName, "ExRun");

    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumServicesStatusExA(mgr.h, static_cast<SC_ENUM_TYPE>(1), SERVICE_WIN32,
                                       SERVICE_STATE_ALL, nullptr, 0, &needed, &count, nullptr,
                                       nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    Handle connectOnly(Manager(SC_MANAGER_CONNECT));
    EXPECT_FALSE(EnumServicesStatusExA(connectOnly.h, SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                       SERVICE_STATE_ALL, nullptr, 0, &needed, &count, nullptr,
                                       nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScmTest, DependentsComeInStopOrder) {
    Handle mgr(Manager());
    // Base <- Middle <- Top, and Side <- Base directly; Other is unrelated.
    Handle base(CreateTestService(mgr.h, "Base"));
    Handle middle(CreateTestService(mgr.h, "Middle", "normal", "Base\0"));
    Handle top(CreateTestService(mgr.h, "Top", "normal", "Middle\0"));
    Handle side(CreateTestService(mgr.h, "Side", "normal", "base\0"));
    Handle other(CreateTestService(mgr.h, "Other"));
    ASSERT_TRUE(base.h && middle.h && top.h && side.h && other.h);

    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumDependentServicesA(base.h, SERVICE_STATE_ALL, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(count, 0u);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumDependentServicesA(base.h, SERVICE_STATE_ALL,
                                       reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()), needed,
                                       &needed, &count));
    std::vector<std::string> names = Names(buf, count);
    ASSERT_EQ(names.size(), 3u);
    auto pos = [&](const char* n) {
        return std::find(names.begin(), names.end(), n) - names.begin();
    };
    EXPECT_LT(pos("Top"), pos("Middle"));
    EXPECT_LT(pos("Side"), 3);

    // The state filter: nothing runs yet.
    ASSERT_TRUE(EnumDependentServicesA(base.h, SERVICE_ACTIVE,
                                       reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()),
                                       static_cast<DWORD>(buf.size()), &needed, &count));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(EnumDependentServicesA(top.h, SERVICE_STATE_ALL,
                                       reinterpret_cast<ENUM_SERVICE_STATUSA*>(buf.data()),
                                       static_cast<DWORD>(buf.size()), &needed, &count));
    EXPECT_EQ(count, 0u);

    Handle noRight(OpenServiceA(mgr.h, "Base", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(EnumDependentServicesA(noRight.h, SERVICE_STATE_ALL, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(EnumDependentServicesA(base.h, 4, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
