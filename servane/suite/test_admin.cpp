// Service administration end to end, as the Perl glue drives it: the core's
// CreateService, ConfigureService, QueryServiceConfig, DeleteService,
// GetSecurity and SetSecurity against the service manager, with what the
// manager itself then reports and what gdwLastError records.
#include "admin.h"
#include "runtime.h"
#include "suite.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace servane;

namespace suite {
namespace {

// A service created for one test and deleted at its end.
class Installed {
public:
    explicit Installed(ServiceInfo info) : m_info(std::move(info)) {
        if (!m_info.name)
            m_info.name = UniqueName("SuiteAdm");
        if (!m_info.path)
            m_info.path = "C:\\suite\\svc.exe";
        // Whether two empty display names clash differs between managers
        // (Wine refuses the second); every service here has its own.
        if (!m_info.display)
            m_info.display = "Display of " + *m_info.name;
        m_created = CreateService(m_info) == 1;
    }
    Installed() : Installed(ServiceInfo()) {}
    ~Installed() {
        if (m_created)
            DeleteService("", *m_info.name);
    }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

    bool created() const { return m_created; }
    const std::string& name() const { return *m_info.name; }
    ServiceConfig Query() const {
        ServiceConfig config;
        EXPECT_EQ(QueryServiceConfig("", name(), config), 1u) << gdwLastError;
        return config;
    }

private:
    ServiceInfo m_info;
    bool m_created = false;
};

ServiceInfo Named(const std::string& name) {
    ServiceInfo info;
    info.name = name;
    return info;
}

class Admin : public SuiteTest {};

const char kNoDependencies[] =
    "QueryServiceConfigA returns no dependencies (and CreateServiceA stores a corrupt list)";
const char kDescriptionDropped[] = "ChangeServiceConfigA deletes the service's Description value";

TEST_F(Admin, CreateWritesEveryFieldAndQueryReadsItBack) {
    Installed dependency;
    ASSERT_TRUE(dependency.created()) << gdwLastError;
    ServiceInfo info;
    info.display = "Suite display " + UniqueName("d");
    info.path = "C:\\Program Files\\Suite\\svc.exe";
    info.parameters = "-a \"b c\"";
    info.description = "What the suite's service does";
    info.dependencyArray = std::vector<std::string>{dependency.name(), "+SuiteGroup"};
    Installed service(info);
    ASSERT_TRUE(service.created()) << gdwLastError;

    ServiceConfig config = service.Query();
    EXPECT_EQ(config.serviceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, DWORD(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, DWORD(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(config.path, "\"C:\\Program Files\\Suite\\svc.exe\" -a \"b c\"");
    EXPECT_EQ(config.display, info.display);
    EXPECT_EQ(config.user, "LocalSystem");
    EXPECT_EQ(config.loadOrder, "");
    EXPECT_EQ(config.description, info.description);
    if (WineDefect(kNoDependencies)) {
        EXPECT_TRUE(config.dependencies.empty());
    } else {
        EXPECT_EQ(config.dependencies, *info.dependencyArray);
    }
}

TEST_F(Admin, QueryAsksForTheSizeFirst) {
    ServiceInfo info;
    info.description = "d";
    Installed service(info);
    ASSERT_TRUE(service.created()) << gdwLastError;
    ServiceHandle handle(OpenLocalService(service.name(), SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(handle) << GetLastError();
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(handle.get(), nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, DWORD(sizeof(QUERY_SERVICE_CONFIGA)));
    // The record alone is too small: its strings follow it.
    std::vector<BYTE> block(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(block.data());
    DWORD again = 0;
    EXPECT_FALSE(QueryServiceConfigA(handle.get(), config, sizeof(QUERY_SERVICE_CONFIGA), &again));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);
    ASSERT_TRUE(QueryServiceConfigA(handle.get(), config, needed, &again)) << GetLastError();
    EXPECT_STREQ(config->lpBinaryPathName, "C:\\suite\\svc.exe");
}

TEST_F(Admin, ConfigureChangesOnlyWhatTheHashHolds) {
    Installed dependency;
    ServiceInfo info;
    info.description = "first";
    Installed service(info);
    ASSERT_TRUE(service.created() && dependency.created()) << gdwLastError;
    const ServiceConfig before = service.Query();

    EXPECT_EQ(ConfigureService(Named(service.name())), 1u);
    ServiceConfig same = service.Query();
    EXPECT_EQ(same.path, before.path);
    EXPECT_EQ(same.display, before.display);
    EXPECT_EQ(same.startType, before.startType);
    if (WineDefect(kDescriptionDropped)) {
        EXPECT_EQ(same.description, std::nullopt);
    } else {
        EXPECT_EQ(same.description, "first");
    }

    ServiceInfo disable = Named(service.name());
    disable.startType = SERVICE_DISABLED;
    EXPECT_EQ(ConfigureService(disable), 1u);
    ServiceConfig disabled = service.Query();
    EXPECT_EQ(disabled.startType, DWORD(SERVICE_DISABLED));
    EXPECT_EQ(disabled.path, before.path);
    EXPECT_EQ(disabled.errorControl, before.errorControl);

    ServiceInfo change = Named(service.name());
    change.path = "C:\\Program Files\\Other\\svc.exe";
    change.parameters = "-x";
    change.display = "Changed " + service.name();
    change.description = "second";
    change.dependencyText = dependency.name();
    EXPECT_EQ(ConfigureService(change), 1u);
    ServiceConfig changed = service.Query();
    EXPECT_EQ(changed.path, "\"C:\\Program Files\\Other\\svc.exe\" -x");
    EXPECT_EQ(changed.display, change.display);
    EXPECT_EQ(changed.description, "second"); // written after the change
    if (WineDefect(kNoDependencies)) {
        EXPECT_TRUE(changed.dependencies.empty());
    } else {
        EXPECT_EQ(changed.dependencies, std::vector<std::string>{dependency.name()});
    }

    // A UNC path is never quoted; parameters without a path change nothing.
    ServiceInfo unc = Named(service.name());
    unc.path = "\\\\server\\share\\my svc.exe";
    EXPECT_EQ(ConfigureService(unc), 1u);
    ServiceInfo parametersOnly = Named(service.name());
    parametersOnly.parameters = "-ignored";
    EXPECT_EQ(ConfigureService(parametersOnly), 1u);
    EXPECT_EQ(service.Query().path, "\\\\server\\share\\my svc.exe");

    ServiceInfo none = Named(service.name());
    none.dependencyArray = std::vector<std::string>();
    EXPECT_EQ(ConfigureService(none), 1u);
    EXPECT_TRUE(service.Query().dependencies.empty());

    // A failed change writes no description.
    ServiceInfo described = Named(service.name());
    described.description = "third";
    EXPECT_EQ(ConfigureService(described), 1u);
    ServiceInfo bad = Named(service.name());
    bad.serviceType = 0x12345;
    bad.description = "never written";
    EXPECT_EQ(ConfigureService(bad), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(service.Query().description, "third");
}

TEST_F(Admin, ServiceNamesAndDisplayNamesAreOneNamespace) {
    Installed first;
    ASSERT_TRUE(first.created()) << gdwLastError;
    ServiceInfo clash;
    clash.display = first.name();
    Installed second(clash);
    if (WineDefect("CreateServiceA accepts a display name equal to another service's name")) {
        EXPECT_TRUE(second.created());
    } else {
        EXPECT_FALSE(second.created());
        EXPECT_EQ(gdwLastError, DWORD(ERROR_DUPLICATE_SERVICE_NAME));
    }

    // Changing a display name to another service's display name or name.
    ServiceInfo displayed;
    displayed.display = UniqueName("Own display ");
    Installed withDisplay(displayed);
    ASSERT_TRUE(withDisplay.created()) << gdwLastError;
    Installed other;
    Installed renamed;
    ASSERT_TRUE(other.created() && renamed.created()) << gdwLastError;
    ServiceInfo rename = Named(renamed.name());
    rename.display = *displayed.display;
    EXPECT_EQ(ConfigureService(rename), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_DUPLICATE_SERVICE_NAME));
    gdwLastError = 0;
    rename.display = other.name();
    if (WineDefect("ChangeServiceConfigA accepts a display name equal to another service's name")) {
        EXPECT_EQ(ConfigureService(rename), 1u);
    } else {
        EXPECT_EQ(ConfigureService(rename), 0u);
        EXPECT_EQ(gdwLastError, DWORD(ERROR_DUPLICATE_SERVICE_NAME));
    }
}

TEST_F(Admin, CircularDependenciesAreRefused) {
    Installed a;
    ASSERT_TRUE(a.created()) << gdwLastError;
    ServiceInfo dependsOnA;
    dependsOnA.dependencyArray = std::vector<std::string>{a.name()};
    Installed b(dependsOnA);
    ASSERT_TRUE(b.created()) << gdwLastError;
    ServiceInfo loop = Named(a.name());
    loop.dependencyArray = std::vector<std::string>{b.name()};
    DWORD result = ConfigureService(loop);
    if (WineDefect("ChangeServiceConfigA accepts a circular dependency")) {
        EXPECT_EQ(result, 1u);
    } else {
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(gdwLastError, DWORD(ERROR_CIRCULAR_DEPENDENCY));
        EXPECT_TRUE(a.Query().dependencies.empty());
    }
}

TEST_F(Admin, DeleteMarksAServiceThatIsStillOpen) {
    const std::string name = UniqueName("SuiteDel");
    ServiceInfo info = Named(name);
    info.path = "C:\\suite\\svc.exe";
    info.display = "Display of " + name;
    ASSERT_EQ(CreateService(info), 1u) << gdwLastError;
    ServiceHandle open(OpenLocalService(name, SERVICE_QUERY_STATUS));
    ASSERT_TRUE(open) << GetLastError();

    EXPECT_EQ(DeleteService("", name), 1u);
    EXPECT_EQ(DeleteService("", name), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    gdwLastError = 0;
    EXPECT_EQ(CreateService(info), 0u);
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));

    open.Close();
    ServiceConfig config;
    EXPECT_TRUE(WaitFor([&] { return QueryServiceConfig("", name, config) == 0; }, 10000));
    EXPECT_EQ(gdwLastError, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(Admin, TheLockMakesEveryCallFail) {
    Installed service;
    ASSERT_TRUE(service.created()) << gdwLastError;
    HeldLock lock;
    ASSERT_TRUE(lock.held()) << GetLastError();
    if (WineDiffers("Wine's database lock has no effect, as on Windows Vista and later; the layer "
                    "keeps the exclusive lock of Windows XP and Server 2003")) {
        Installed other;
        EXPECT_TRUE(other.created()) << gdwLastError;
        return;
    }
    const DWORD locked = ERROR_SERVICE_DATABASE_LOCKED;
    Installed other;
    EXPECT_FALSE(other.created());
    EXPECT_EQ(gdwLastError, locked);
    gdwLastError = 0;
    EXPECT_EQ(ConfigureService(Named(service.name())), 0u);
    EXPECT_EQ(gdwLastError, locked);
    gdwLastError = 0;
    ServiceConfig config;
    EXPECT_EQ(QueryServiceConfig("", service.name(), config), 0u);
    EXPECT_EQ(gdwLastError, locked);
    gdwLastError = 0;
    EXPECT_FALSE(GetSecurity("", service.name()));
    EXPECT_EQ(gdwLastError, locked);
    gdwLastError = 0;
    EXPECT_EQ(DeleteService("", service.name()), 0u);
    EXPECT_EQ(gdwLastError, locked);
}

TEST_F(Admin, EveryFailureRecordsTheManagersError) {
    const std::string missing = UniqueName("SuiteMissing");
    auto expectError = [](DWORD result, DWORD error, const char* what) {
        EXPECT_EQ(result, 0u) << what;
        EXPECT_EQ(gdwLastError, error) << what;
        gdwLastError = 0;
    };
    const DWORD noService = ERROR_SERVICE_DOES_NOT_EXIST;
    expectError(ConfigureService(Named(missing)), noService, "ConfigureService");
    ServiceConfig config;
    expectError(QueryServiceConfig("", missing, config), noService, "QueryServiceConfig");
    expectError(DeleteService("", missing), noService, "DeleteService");
    expectError(GetSecurity("", missing) ? 1 : 0, noService, "GetSecurity");
    ServiceInfo noName;
    // No name reaches OpenServiceA as a null pointer.
    expectError(ConfigureService(noName), DWORD(ERROR_INVALID_ADDRESS),
                "ConfigureService, no name");

    Installed service;
    ASSERT_TRUE(service.created()) << gdwLastError;
    std::optional<std::vector<BYTE>> descriptor = GetSecurity("", service.name());
    ASSERT_TRUE(descriptor) << gdwLastError;
    expectError(SetSecurity("", missing, descriptor->data()), noService, "SetSecurity");

    ServiceInfo again = Named(service.name());
    again.path = "C:\\x.exe";
    expectError(CreateService(again), DWORD(ERROR_SERVICE_EXISTS), "CreateService, existing");
    ServiceInfo empty = Named("");
    empty.path = "C:\\x.exe";
    empty.display = UniqueName("Empty name ");
    expectError(CreateService(empty), DWORD(ERROR_INVALID_NAME), "CreateService, empty name");
    ServiceInfo badType = Named(UniqueName("SuiteBad"));
    badType.path = "C:\\x.exe";
    badType.display = "Display of " + *badType.name;
    badType.serviceType = 0;
    expectError(CreateService(badType), DWORD(ERROR_INVALID_PARAMETER), "CreateService, type 0");
}

TEST_F(Admin, AnUnknownMachineIsNotReached) {
    const char* host = "\\\\no-such-host.invalid";
    SC_HANDLE manager = OpenSCManagerA(host, nullptr, SC_MANAGER_CONNECT);
    if (WineDefect("OpenSCManagerA connects to a machine that does not exist")) {
        EXPECT_NE(manager, nullptr);
    } else {
        EXPECT_EQ(manager, nullptr);
        // A failed connection leaves gdwLastError alone.
        gdwLastError = 4242;
        EXPECT_EQ(DeleteService(host, "Anything"), 0u);
        EXPECT_EQ(gdwLastError, 4242u);
    }
    if (manager)
        CloseServiceHandle(manager);
}

// --- Security descriptors ------------------------------------------------------------

// The service's descriptor with `extra` access-allowed ACEs for Everyone
// appended to its DACL, self-relative; owner, group and SACL left out
// (SetSecurity writes the DACL and the SACL only).
std::vector<BYTE> WithExtraAces(const std::vector<BYTE>& current, int extra) {
    std::vector<BYTE> copy = current; // aligned
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(copy.data(), &present, &dacl, &defaulted));
    BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const DWORD aceSize = 8 + sizeof everyone;
    DWORD size = sizeof(ACL) + extra * aceSize + (dacl ? dacl->AclSize : 0);
    std::vector<DWORD> acl((size + 3) / 4);
    auto* newAcl = reinterpret_cast<PACL>(acl.data());
    EXPECT_TRUE(InitializeAcl(newAcl, size, ACL_REVISION));
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace))
            AddAce(newAcl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize);
    }
    for (int i = 0; i < extra; ++i)
        EXPECT_TRUE(AddAccessAllowedAce(newAcl, ACL_REVISION, SERVICE_QUERY_STATUS, everyone));
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&absolute, TRUE, newAcl, FALSE);
    DWORD length = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &length);
    std::vector<BYTE> relative(length);
    EXPECT_TRUE(MakeSelfRelativeSD(&absolute, relative.data(), &length)) << GetLastError();
    return relative;
}

DWORD AceCount(const std::vector<BYTE>& descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::vector<BYTE> copy = descriptor;
    if (!GetSecurityDescriptorDacl(copy.data(), &present, &dacl, &defaulted) || !dacl)
        return 0;
    return dacl->AceCount;
}

TEST_F(Admin, SecurityRoundTrips) {
    Installed service;
    ASSERT_TRUE(service.created()) << gdwLastError;
    std::optional<std::vector<BYTE>> first = GetSecurity("", service.name());
    ASSERT_TRUE(first) << gdwLastError;
    ASSERT_TRUE(CopyRelativeDescriptor(first->data(), first->size()));
    DWORD length = GetSecurityDescriptorLength(first->data());
    if (WineDefect("QueryServiceObjectSecurity gives a fixed 28-byte descriptor and reports 1024 "
                   "bytes")) {
        EXPECT_EQ(first->size(), 1024u);
        EXPECT_EQ(length, 28u);
    } else {
        EXPECT_EQ(length, first->size());
    }

    // The bytes read, written back unchanged, leave the service as it was.
    EXPECT_EQ(SetSecurity("", service.name(), first->data()), 1u) << gdwLastError;
    std::optional<std::vector<BYTE>> second = GetSecurity("", service.name());
    ASSERT_TRUE(second) << gdwLastError;
    EXPECT_EQ(*second, *first);

    // A changed DACL, also one that takes more than the first 1024 bytes.
    for (int extra : {1, 60}) {
        std::vector<BYTE> wanted = WithExtraAces(*first, extra);
        ASSERT_TRUE(CopyRelativeDescriptor(wanted.data(), wanted.size()));
        EXPECT_EQ(SetSecurity("", service.name(), wanted.data()), 1u) << gdwLastError;
        std::optional<std::vector<BYTE>> read = GetSecurity("", service.name());
        ASSERT_TRUE(read) << gdwLastError;
        if (WineDefect("SetServiceObjectSecurity stores nothing")) {
            EXPECT_EQ(*read, *first);
        } else {
            EXPECT_EQ(AceCount(*read), AceCount(*first) + extra);
            EXPECT_EQ(read->size(), GetSecurityDescriptorLength(read->data()));
            if (extra == 60) {
                EXPECT_GT(read->size(), 1024u);
            }
        }
    }
}

} // namespace
} // namespace suite
