// svcctl as a person uses it, and an unprivileged user's access.
#include "svcctltest.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

TEST_F(ScmTest, SvcctlDrivesAServiceLikeSc) {
    std::string image = std::string(SCM_TEST_SERVICE) + " normal";
    Result r = Svcctl({"create", "Ctl", "binPath=", image, "start=", "demand",
                       "DisplayName=", "Control Test", "depend=", "", "error=", "severe"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "[SC] CreateService SUCCESS"));

    r = Svcctl({"description", "Ctl", "A test service"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Svcctl({"qc", "Ctl"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "START_TYPE         : 3   DEMAND_START"));
    EXPECT_TRUE(Has(r.out, "ERROR_CONTROL      : 2   SEVERE"));
    EXPECT_TRUE(Has(r.out, "BINARY_PATH_NAME   : " + image));
    EXPECT_TRUE(Has(r.out, "DISPLAY_NAME       : Control Test"));
    EXPECT_TRUE(Has(r.out, "SERVICE_START_NAME : LocalSystem"));
    for (const char* field : {"TYPE", "LOAD_ORDER_GROUP", "TAG", "DEPENDENCIES"})
        EXPECT_TRUE(Has(r.out, std::string("        ") + field)) << field;

    r = Svcctl({"start", "Ctl", "exit=7"});
    ASSERT_EQ(r.status, 0) << r.err;
    Handle mgr(Manager());
    SC_HANDLE svc = OpenServiceA(mgr.h, "Ctl", SERVICE_QUERY_STATUS);
    ASSERT_TRUE(WaitForState(svc, SERVICE_RUNNING));
    r = Svcctl({"query", "Ctl"});
    EXPECT_TRUE(Has(r.out, "STATE              : 4  RUNNING")) << r.out;
    EXPECT_TRUE(Has(r.out, "WIN32_EXIT_CODE    : 0  (0x0)"));
    EXPECT_TRUE(Has(r.out, "CHECKPOINT         : 0x0"));
    r = Svcctl({"pause", "Ctl"});
    EXPECT_TRUE(Has(r.out, "STATE              : 7  PAUSED")) << r.out;
    r = Svcctl({"continue", "Ctl"});
    EXPECT_TRUE(Has(r.out, "4  RUNNING"));
    r = Svcctl({"interrogate", "Ctl"});
    EXPECT_TRUE(Has(r.out, "4  RUNNING"));
    r = Svcctl({"control", "Ctl", "150"});
    EXPECT_EQ(r.status, 0);
    r = Svcctl({"query"});
    EXPECT_TRUE(Has(r.out, "SERVICE_NAME: Ctl"));
    EXPECT_TRUE(Has(r.out, "DISPLAY_NAME: Control Test"));
    r = Svcctl({"stop", "Ctl"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(WaitForState(svc, SERVICE_STOPPED));
    r = Svcctl({"query", "Ctl"});
    EXPECT_TRUE(Has(r.out, "STATE              : 1  STOPPED"));
    EXPECT_TRUE(Has(r.out, "WIN32_EXIT_CODE    : 1066  (0x42a)"));
    EXPECT_TRUE(Has(r.out, "SERVICE_EXIT_CODE  : 7  (0x7)"));

    // Failures: the call, the code and its text on standard output as sc
    // writes them; the exit status is the code (its low 8 bits).
    r = Svcctl({"stop", "Ctl"});
    EXPECT_EQ(r.status, 1062 & 0xFF);
    EXPECT_TRUE(Has(r.out, "[SC] ControlService FAILED 1062:\n\nThe service has not been started."))
        << r.out;
    r = Svcctl({"query", "NoSuch"});
    EXPECT_EQ(r.status, 1060 & 0xFF);
    EXPECT_TRUE(
        Has(r.out, "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist"));

    r = Svcctl({"sdshow", "Ctl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                           "(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)"))
        << r.out;
    if (geteuid() == 0) {
        EXPECT_TRUE(Has(r.out, "S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)")) << r.out;
    }

    r = Svcctl({"delete", "Ctl"});
    EXPECT_EQ(r.status, 0);
    CloseServiceHandle(svc);
    r = Svcctl({"delete", "Ctl"});
    EXPECT_EQ(r.status, 1060 & 0xFF);
    EXPECT_TRUE(Has(r.out, "FAILED 1060:"));
}

TEST_F(ScmTest, SvcctlUsageErrors) {
    // sc answers a bad command line with ERROR_INVALID_COMMAND_LINE (1639).
    const int invalid = 1639 & 0xFF;
    EXPECT_EQ(Svcctl({}).status, invalid);
    Result r = Svcctl({"frobnicate"});
    EXPECT_EQ(r.status, invalid);
    EXPECT_TRUE(Has(r.out, "unknown verb \"frobnicate\""));
    EXPECT_FALSE(Has(r.out, "USAGE")) << "an unknown verb does not print every usage";
    EXPECT_EQ(Svcctl({"create", "X"}).status, invalid); // no binPath=
    EXPECT_EQ(Svcctl({"create", "X", "binPath=", "/bin/true", "start=", "sometimes"}).status,
              invalid);
    EXPECT_EQ(Svcctl({"create", "X", "binPath=", "/bin/true", "type=", "interact"}).status,
              invalid);
    EXPECT_EQ(Svcctl({"control", "X", "12"}).status, invalid);
    EXPECT_EQ(Svcctl({"failure", "X", "reset=", "10"}).status, invalid); // needs actions=
    EXPECT_EQ(Svcctl({"failure", "X", "reset=", "10", "actions=", "restart"}).status, invalid);
    // config without any option changes nothing and says how to use it.
    r = Svcctl({"config", "X"});
    EXPECT_EQ(r.status, invalid);
    EXPECT_TRUE(Has(r.out, "USAGE:\n        svcctl config NAME"));
    Result help = Svcctl({"qc", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "svcctl qc NAME"));
    for (const char* verb :
         {"create",     "config",      "description",  "start",        "stop",
          "pause",      "continue",    "interrogate",  "control",      "query",
          "queryex",    "delete",      "sdshow",       "sdset",        "failure",
          "qfailure",   "failureflag", "qfailureflag", "qdescription", "getdisplayname",
          "getkeyname", "enumdepend",  "querylock",    "boot",         "logs",
          "debug"})
        EXPECT_EQ(Svcctl({verb, "--help"}).status, 0) << verb;
}

TEST_F(ScmTest, UnprivilegedUserGetsReadAccessOnly) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    passwd* nobody = getpwnam("nobody");
    int uid = nobody ? static_cast<int>(nobody->pw_uid) : 65534;
    {
        Handle mgr(Manager());
        Handle svc(CreateTestService(mgr.h, "Shared"));
        ASSERT_NE(svc.h, nullptr);
        ASSERT_TRUE(StartServiceA(svc.h, 0, nullptr));
        ASSERT_TRUE(WaitForState(svc.h, SERVICE_RUNNING));
    }
    // The administrator opens the state root to the user.
    std::string cmd = "chmod -R a+rwX '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);

    Result r = Svcctl({"query", "Shared"}, uid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "4  RUNNING")) << r.out << r.err;
    r = Svcctl({"qc", "Shared"}, uid);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Svcctl({"interrogate", "Shared"}, uid);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Svcctl({"stop", "Shared"}, uid);
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(Has(r.out, "[SC] OpenService FAILED 5:")) << r.out;
    r = Svcctl({"create", "Mine", "binPath=", "/bin/true"}, uid);
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(Has(r.out, "[SC] OpenSCManager FAILED 5:")) << r.out;
    r = Svcctl({"delete", "Shared"}, uid);
    EXPECT_TRUE(Has(r.out, "FAILED 5:")) << r.out;

    Handle mgr(Manager());
    Handle svc(OpenServiceA(mgr.h, "Shared", SERVICE_STOP | SERVICE_QUERY_STATUS));
    EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(WaitForState(svc.h, SERVICE_STOPPED));
}
