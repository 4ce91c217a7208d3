// Service control end to end, as Win32::Servane::Control drives it: the
// core's start, controls, status reads and waits, the service list, a
// service's dependents and its recovery settings against the service
// manager, with the error each refusal records in gdwControlError.
#include "admin.h"
#include "control.h"
#include "runtime.h"
#include "suite.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace servane;

namespace suite {
namespace {

class Control : public SuiteTest {
protected:
    void SetUp() override {
        SuiteTest::SetUp();
        gdwControlError = 0;
    }
};

WaitResult Wait(const ServiceTarget& target, DWORD state, DWORD ms = 30000) {
    WaitProgress progress;
    return WaitForState(target, state, ms, nullptr, nullptr, progress);
}

// The entry of the named service, or null.
const ServiceEntry* Find(const std::vector<ServiceEntry>& entries, const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const ServiceEntry& e) { return e.name == name; });
    return it == entries.end() ? nullptr : &*it;
}

TEST_F(Control, StartControlsWaitsAndTheList) {
    ServiceRun run("mode=poll");
    ASSERT_TRUE(run.installed()) << gdwLastError;
    const ServiceTarget target{"", run.name()};
    std::vector<ServiceEntry> entries;
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_INACTIVE, entries)) << gdwControlError;
    ASSERT_NE(Find(entries, run.name()), nullptr) << "a stopped service is inactive";
    EXPECT_EQ(Find(entries, run.name())->display, "Suite run " + run.name());

    ASSERT_TRUE(StartNamedService(target, {"first", "second"})) << gdwControlError;
    ASSERT_EQ(Wait(target, SERVICE_RUNNING), WaitResult::Reached) << run.Describe();
    EXPECT_FALSE(StartNamedService(target, {}));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_ALREADY_RUNNING));

    ServiceStatusInfo status;
    ASSERT_TRUE(QueryStatus(target, status));
    EXPECT_EQ(status.state, DWORD(SERVICE_RUNNING));
    EXPECT_NE(status.processId, 0u);
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_ACTIVE, entries));
    const ServiceEntry* listed = Find(entries, run.name());
    ASSERT_NE(listed, nullptr) << "a running service is active";
    EXPECT_EQ(listed->status.processId, status.processId);
    ASSERT_TRUE(ListServices("", SERVICE_WIN32, SERVICE_INACTIVE, entries));
    EXPECT_EQ(Find(entries, run.name()), nullptr);

    ASSERT_TRUE(SendServiceControl(target, SERVICE_CONTROL_PAUSE)) << gdwControlError;
    EXPECT_EQ(Wait(target, SERVICE_PAUSED), WaitResult::Reached) << run.Describe();
    ASSERT_TRUE(SendServiceControl(target, SERVICE_CONTROL_CONTINUE));
    EXPECT_EQ(Wait(target, SERVICE_RUNNING), WaitResult::Reached) << run.Describe();
    EXPECT_TRUE(SendServiceControl(target, 200));
    EXPECT_TRUE(run.WaitForLine("control 200")) << run.Describe();
    EXPECT_EQ(Wait(target, SERVICE_PAUSED, 200), WaitResult::TimedOut);
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));

    ASSERT_TRUE(SendServiceControl(target, SERVICE_CONTROL_STOP));
    EXPECT_EQ(Wait(target, SERVICE_STOPPED), WaitResult::Reached) << run.Describe();
    EXPECT_FALSE(SendServiceControl(target, SERVICE_CONTROL_STOP));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_NOT_ACTIVE));

    EXPECT_FALSE(QueryStatus(ServiceTarget{"", run.name() + "Missing"}, status));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(ListServices("", 0, SERVICE_STATE_ALL, entries));
    EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
}

// Two services that depend on a third, one of them through the other.
TEST_F(Control, DependentsInStopOrder) {
    const std::string base = UniqueName("SuiteCtlBase");
    const std::string middle = base + "Middle", top = base + "Top";
    ServiceInfo info;
    info.path = "C:\\suite\\svc.exe";
    for (const auto& [name, needs] :
         {std::pair{base, std::string()}, std::pair{middle, base}, std::pair{top, middle}}) {
        info.name = name;
        info.display = "Display of " + name;
        info.dependencyArray.reset();
        if (!needs.empty())
            info.dependencyArray = std::vector<std::string>{needs};
        ASSERT_EQ(CreateService(info), 1u) << name << ": " << gdwLastError;
    }
    std::vector<ServiceEntry> dependents;
    const BOOL listed = ListDependents(ServiceTarget{"", base}, dependents);
    for (const std::string& name : {top, middle, base})
        DeleteService("", name);
    ASSERT_TRUE(listed) << gdwControlError;
    std::vector<std::string> names;
    for (const ServiceEntry& e : dependents)
        names.push_back(e.name);
    if (WineDefect("EnumDependentServicesA is a stub: it succeeds and lists no service")) {
        EXPECT_TRUE(names.empty());
    } else {
        EXPECT_EQ(names, (std::vector<std::string>{top, middle}));
    }
}

TEST_F(Control, RecoverySettingsAndDelayedStart) {
    ServiceRun run("mode=poll");
    ASSERT_TRUE(run.installed()) << gdwLastError;
    const ServiceTarget target{"", run.name()};
    FailureSettings change;
    change.resetPeriod = 86400;
    change.actions = std::vector<FailureAction>{{SC_ACTION_RESTART, 5000}, {SC_ACTION_NONE, 0}};
    change.command = "C:\\suite\\notify.exe";
    ASSERT_TRUE(ChangeFailureSettings(target, change)) << gdwControlError;
    FailureSettings read;
    const BOOL queried = QueryFailureSettings(target, read);
    if (WineDefect("QueryServiceConfig2A does not know SERVICE_CONFIG_FAILURE_ACTIONS: "
                   "ERROR_INVALID_LEVEL")) {
        EXPECT_FALSE(queried);
        EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_LEVEL));
    } else {
        ASSERT_TRUE(queried) << gdwControlError;
        EXPECT_EQ(read.resetPeriod, 86400u);
        ASSERT_TRUE(read.actions);
        ASSERT_EQ(read.actions->size(), 2u);
        EXPECT_EQ((*read.actions)[0].type, DWORD(SC_ACTION_RESTART));
        EXPECT_EQ((*read.actions)[0].delayMs, 5000u);
        EXPECT_EQ(read.command, change.command);

        // The period alone keeps the actions.
        FailureSettings period;
        period.resetPeriod = 60;
        ASSERT_TRUE(ChangeFailureSettings(target, period)) << gdwControlError;
        ASSERT_TRUE(QueryFailureSettings(target, read));
        EXPECT_EQ(read.resetPeriod, 60u);
        EXPECT_EQ(read.actions->size(), 2u);
    }

    // The flag that counts a stop with an error as a failure.
    FailureSettings flag;
    flag.nonCrashFailures = true;
    const BOOL flagged = ChangeFailureSettings(target, flag);
    if (WineDefect("ChangeServiceConfig2A refuses SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: "
                   "ERROR_INVALID_PARAMETER")) {
        EXPECT_FALSE(flagged);
        EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
    } else {
        ASSERT_TRUE(flagged) << gdwControlError;
        ASSERT_TRUE(QueryFailureSettings(target, read));
        EXPECT_EQ(read.nonCrashFailures, true);
        EXPECT_EQ(read.actions->size(), 2u) << "the actions stay";
    }

    // Any service may be marked; only an automatic one is then delayed.
    bool delayed = true;
    const BOOL queriedDelay = QueryDelayedStart(target, delayed);
    const BOOL changedDelay = ChangeDelayedStart(target, true);
    if (WineDefect("QueryServiceConfig2A does not know SERVICE_CONFIG_DELAYED_AUTO_START_INFO "
                   "(ERROR_INVALID_LEVEL), ChangeServiceConfig2A refuses it "
                   "(ERROR_INVALID_PARAMETER)")) {
        EXPECT_FALSE(queriedDelay);
        EXPECT_FALSE(changedDelay);
        EXPECT_EQ(gdwControlError, DWORD(ERROR_INVALID_PARAMETER));
        return;
    }
    ASSERT_TRUE(queriedDelay) << gdwControlError;
    EXPECT_FALSE(delayed);
    ASSERT_TRUE(changedDelay) << gdwControlError;
    ASSERT_TRUE(QueryDelayedStart(target, delayed));
    EXPECT_TRUE(delayed);
}

} // namespace
} // namespace suite
