// Perl glue of Win32::Servane: the bootstrap and the script-callable
// functions. Logic lives in the other sources of this folder; the functions
// here count arguments, convert values and set results.
//
// croak() unwinds with longjmp: no object with a destructor may be alive in a
// frame that croaks.
#include <windows.h>

#include "admin.h"
#include "constants.h"
#include "runtime.h"
#include "service.h"
#include "winstation.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "perlglue.h"

namespace {

const char kFile[] = "Servane.cpp";
const char kXsVersion[] = "20101014";
const char kLibraryVersion[] = "20080324";

// Win32::Servane::Constant(pszName, pSvBuffer): kind of the named constant;
// its value goes into the caller's scalar.
XS_INTERNAL(XS_Constant) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "pszName, pSvBuffer");
    const char* name = SvPV_nolen(ST(0));
    SV* buffer = ST(1);
    servane::ConstantResult found = servane::LookupConstant(name);
    if (found.kind == servane::kConstantNumber)
        sv_setiv(buffer, DwordToIV(found.number));
    else if (found.kind == servane::kConstantText)
        sv_setpv(buffer, found.text);
    SvSETMAGIC(buffer);
    RETURN_DWORD(found.kind);
}

XS_INTERNAL(XS_GetVersion) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_TEXT(kLibraryVersion);
}

XS_INTERNAL(XS_GetLastError) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(gdwLastError);
}

// The library is a release build: it keeps no debug log, so the path is
// accepted and ignored.
XS_INTERNAL(XS_DebugOutputPath) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: Win32::Servane::DebugOutputPath( [$Path] )\n");
    RETURN_TEXT("");
}

XS_INTERNAL(XS_IsDebugBuild) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(0);
}

// ---- Service runtime: the service run, polling and callbacks ----

// Stores a value the caller owns under key. A tied hash keeps no value of
// its own: the store only gives the value the tie's magic, and setting it
// then runs the tie's STORE; the value is released afterwards.
void StoreOwned(pTHX_ HV* hv, const char* key, SV* value) {
    if (!hv_store(hv, key, static_cast<I32>(std::strlen(key)), value, 0)) {
        SvSETMAGIC(value);
        SvREFCNT_dec(value);
    }
}

// A hash argument: a hash reference's target (or a hash itself), else null.
HV* ContextHash(SV* arg) {
    if (SvROK(arg) && SvTYPE(SvRV(arg)) == SVt_PVHV)
        return reinterpret_cast<HV*>(SvRV(arg));
    if (SvTYPE(arg) == SVt_PVHV)
        return reinterpret_cast<HV*>(arg);
    return nullptr;
}

// Perl's own true and false (the results of print, comparisons and !, and
// copies of them): they hold the integers 1 and 0, but a callback that ends
// in one has not answered with a state.
bool IsPerlBoolean(pTHX_ SV* sv) {
#ifdef SvIsBOOL
    return SvIsBOOL(sv);
#else
    return sv == &PL_sv_yes || sv == &PL_sv_no;
#endif
}

// Calls one callback with (event code, \%hash) in scalar context. Errors are
// not trapped: a die unwinds to the script's own handler. An integer result
// (integer flag set) that is not a boolean is handed back as the new service
// state.
void CallPerlRoutine(pTHX_ CV* callback, DWORD event, HV* hash, bool* hasState, DWORD* state) {
    if (!callback || SvTYPE(reinterpret_cast<SV*>(callback)) != SVt_PVCV)
        return;
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    EXTEND(SP, 2);
    PUSHs(sv_2mortal(newSViv(DwordToIV(event))));
    PUSHs(sv_2mortal(newRV_inc(reinterpret_cast<SV*>(hash))));
    PUTBACK;
    I32 count = call_sv(reinterpret_cast<SV*>(callback), G_SCALAR);
    SPAGAIN;
    if (count > 0) {
        SV* result = POPs;
        if (SvIOK(result) && !IsPerlBoolean(aTHX_ result)) {
            *hasState = true;
            *state = IVToDword(SvIVX(result));
        }
    }
    PUTBACK;
    FREETMPS;
    LEAVE;
}

// The runtime's way into Perl: the context hash (or a fresh one) gets the
// event code under "command", then the callback runs. The hash and the code
// value are held for the call; the save stack lets them go also when the
// callback dies.
bool InvokePerlCallback(struct cv* callback, DWORD event, struct hv* context, bool* hasState,
                        DWORD* state) {
    PerlInterpreter* my_perl = PERL_GET_THX;
    if (!my_perl)
        return false;
    ENTER;
    HV* hash = context ? reinterpret_cast<HV*>(SvREFCNT_inc_simple_NN(context)) : newHV();
    SAVEFREESV(reinterpret_cast<SV*>(hash));
    SAVEFREESV(SvREFCNT_inc_simple_NN(reinterpret_cast<SV*>(callback)));
    StoreOwned(aTHX_ hash, "command", newSViv(DwordToIV(event)));
    CallPerlRoutine(aTHX_ callback, event, hash, hasState, state);
    LEAVE;
    return true;
}

// Stores a code value in one slot. The table holds a reference to each code
// value it stores, so that an anonymous closure registered through a
// temporary hash stays alive; the replaced one is released after the
// current statement.
void StoreCallback(pTHX_ DWORD code, CV* callback) {
    CV* old = gCallbackTable.GetCallback(code);
    if (old == callback)
        return;
    if (callback)
        SvREFCNT_inc_simple_void_NN(reinterpret_cast<SV*>(callback));
    gCallbackTable.SetCallback(code, callback);
    if (old)
        sv_2mortal(reinterpret_cast<SV*>(old));
}

// Win32::Servane::RegisterCallbacks(pSv): a code reference for every event,
// or a hash of event names to code references. 1 when registered, else 0.
XS_INTERNAL(XS_RegisterCallbacks) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "pSv");
    SV* arg = ST(0);
    SvGETMAGIC(arg);
    SV* target = SvROK(arg) ? SvRV(arg) : arg;
    if (SvTYPE(target) == SVt_PVCV) {
        CV* callback = reinterpret_cast<CV*>(target);
        StoreCallback(aTHX_ kServiceControlTimer, callback);
        StoreCallback(aTHX_ kServiceControlStart, callback);
        for (DWORD code = SERVICE_CONTROL_STOP; code <= SERVICE_CONTROL_SESSIONCHANGE; ++code)
            StoreCallback(aTHX_ code, callback);
        StoreCallback(aTHX_ kServiceControlUserDefined, callback);
        StoreCallback(aTHX_ kServiceControlRunning, callback);
        RETURN_DWORD(1);
    }
    if (SvTYPE(target) != SVt_PVHV)
        RETURN_DWORD(0);
    HV* hash = reinterpret_cast<HV*>(target);
    for (const CallbackEvent& event : kCallbackEvents) {
        // Asked apart from the fetch: a tied hash answers every fetch, also
        // for a key it does not hold.
        const I32 length = static_cast<I32>(std::strlen(event.name));
        if (!hv_exists(hash, event.name, length)) {
            StoreCallback(aTHX_ event.code, nullptr);
            continue;
        }
        SV** value = hv_fetch(hash, event.name, length, 0);
        if (!value)
            continue;
        SvGETMAGIC(*value);
        if (SvROK(*value) && SvTYPE(SvRV(*value)) == SVt_PVCV)
            StoreCallback(aTHX_ event.code, reinterpret_cast<CV*>(SvRV(*value)));
    }
    RETURN_DWORD(1);
}

// Win32::Servane::StartService([\%Context [, $CallbackTimer]]): starts the
// dispatcher thread; with callbacks registered, runs the callback loop
// until the service run ends. Returns the thread's handle.
XS_INTERNAL(XS_StartService) {
    dXSARGS;
    if (items > 2)
        croak("%s", "Usage: Win32::Servane::StartService( [ \\%Context [, $CallbackTimer] ] )\n");
    if (HANDLE running = ghServiceThread.load())
        RETURN_DWORD(static_cast<DWORD>(reinterpret_cast<uintptr_t>(running)));
    if (items >= 1)
        SvGETMAGIC(ST(0));
    HV* context = items >= 1 ? ContextHash(ST(0)) : nullptr;
    LONG period = items == 2 ? static_cast<LONG>(IVToDword(SvIV(ST(1)))) : 5000;
    HANDLE thread = StartServiceThread();
    if (!thread)
        RETURN_DWORD(0);
    if (context)
        ghvContext = context;
    SetCallbackHook(InvokePerlCallback);
    RunCallbackLoop(period);
    RETURN_DWORD(static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread)));
}

// Win32::Servane::CallbackTimer([$CallbackTimer]): the callback timer's
// period in milliseconds; a new period starts the timer on this thread
// (0 switches the periodic event off).
XS_INTERNAL(XS_CallbackTimer) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: Win32::Servane::CallbackTimer( [ $CallbackTimer ] )\n");
    if (items == 1) {
        gCallbackTimer.SetPeriod(static_cast<LONG>(IVToDword(SvIV(ST(0)))));
        gCallbackTimer.Start();
    }
    RETURN_DWORD(static_cast<DWORD>(gCallbackTimer.Period()));
}

XS_INTERNAL(XS_StopService) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(StopService());
}

// Win32::Servane::SetServiceBits($Value [, $hServiceHandle]): announces the
// bits now when there is a status handle, else keeps them for ServiceMain.
XS_INTERNAL(XS_SetServiceBits) {
    dXSARGS;
    if (items < 1 || items > 2)
        croak("%s", "Usage: SetServiceBits( $Value, [$hServiceHandle] )\n");
    DWORD value = IVToDword(SvIV(ST(0)));
    bool haveHandle = items == 2 ? IVToDword(SvIV(ST(1))) != 0 : ghServiceStatus.load() != nullptr;
    if (!haveHandle) {
        gdwServiceBits = value;
        RETURN_DWORD(1);
    }
    RETURN_DWORD(My_SetServiceBits(ghServiceStatus, value, TRUE, TRUE));
}

// The integer value of a key the hash holds, else the default. Existence is
// asked apart from the fetch: a tied hash may answer every fetch, and a
// restricted hash dies on a fetch of a key it does not allow.
DWORD HashNumber(pTHX_ HV* hash, const char* key, DWORD absent) {
    const I32 length = static_cast<I32>(std::strlen(key));
    if (!hv_exists(hash, key, length))
        return absent;
    SV** value = hv_fetch(hash, key, length, 0);
    return value ? IVToDword(SvIV(*value)) : absent;
}

// Win32::Servane::State([$State [, $WaitHint]] || \%Hash): reports a new state
// (a hash may carry "state", "wait_hint" and "error"); returns the current one.
XS_INTERNAL(XS_State) {
    dXSARGS;
    if (items > 2)
        croak("%s", "Usage: State( [$State [, $WaitHint ] || \\%Hash ] )\n");
    // Until ServiceMain has registered its handler (or when it never will,
    // as outside the manager) there is no status handle: reports are
    // ignored and the state is only read. A state of 0 reported later is
    // sent like any other (the manager refuses it) and locks nothing out.
    if (!ghServiceStatus.load() || items == 0)
        RETURN_DWORD(gdwCurrentState);
    SV* first = ST(0);
    SvGETMAGIC(first);
    if (SvROK(first) && SvTYPE(SvRV(first)) == SVt_PVHV) {
        HV* hash = reinterpret_cast<HV*>(SvRV(first));
        DWORD state = HashNumber(aTHX_ hash, "state", gdwCurrentState.load());
        DWORD waitHint = HashNumber(aTHX_ hash, "wait_hint", 0);
        DWORD error = HashNumber(aTHX_ hash, "error", 0);
        UpdateServiceStatus(state, waitHint, error);
    } else {
        DWORD state = IVToDword(SvIV_nomg(first));
        DWORD waitHint = items == 2 ? IVToDword(SvIV(ST(1))) : 0;
        UpdateServiceStatus(state, waitHint, 0);
    }
    RETURN_DWORD(gdwCurrentState);
}

// Win32::Servane::QueryLastMessage([$fResetMessage]): the last control, or -1;
// a true argument resets it first.
XS_INTERNAL(XS_QueryLastMessage) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: QueryLastMessage( [$fResetMessage] )\n");
    if (items == 1 && SvIV(ST(0)) != 0)
        gdwLastMessage = -1;
    RETURN_DWORD(static_cast<DWORD>(gdwLastMessage.load()));
}

XS_INTERNAL(XS_Timeout) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: Win32::Servane::Timeout( [$Timeout] )\n");
    if (items == 1)
        gdwTimeout = static_cast<LONG>(IVToDword(SvIV(ST(0))));
    RETURN_DWORD(static_cast<DWORD>(gdwTimeout.load()));
}

XS_INTERNAL(XS_GetServiceHandle) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(static_cast<DWORD>(reinterpret_cast<uintptr_t>(ghServiceStatus.load())));
}

XS_INTERNAL(XS_AcceptedControls) {
    dXSARGS;
    if (items > 1)
        croak("%s", "Usage: Win32::Servane::AcceptedControls( [$NewControls] )\n");
    if (items == 1)
        gdwControlsAccepted = IVToDword(SvIV(ST(0)));
    RETURN_DWORD(gdwControlsAccepted);
}

// ---- Service administration ----
//
// Each function reads its arguments by the reading rules into plain values
// (strings copied into mortal scalars, so a tied hash's code cannot free
// them under us), then hands them to a separate function that builds the
// C++ record and runs the core: nothing with a destructor is alive in a
// frame that can croak.

// One number key: present and its 32-bit value.
struct RawNumber {
    bool present;
    DWORD value;
};

struct RawInfo {
    RawText machine, name, display, user, password, path, parameters, description;
    AV* dependencyArray; // mortal copies of the array's elements, or null
    RawText dependencyText;
    RawNumber serviceType, startType, errorControl, tagId;
};

RawNumber ReadNumber(pTHX_ HV* hv, const char* key) {
    if (!HasKey(aTHX_ hv, key))
        return RawNumber{false, 0};
    SV* value = FetchValue(aTHX_ hv, key);
    return RawNumber{true, value ? IVToDword(SvIV(value)) : 0};
}

// Which function a service-information hash is read for. CreateService
// and ConfigureService read the same vocabulary by the same rules, but not
// the same keys, and not in the same order.
enum class InfoUse { Create, Configure };

// The value of an existing key, kept alive (by a mortal reference) while
// other keys are read, with its get-magic run once; null when the key is
// absent or the fetch yields no scalar.
SV* FetchKept(pTHX_ HV* hv, const char* key, bool& present) {
    present = HasKey(aTHX_ hv, key);
    if (!present)
        return nullptr;
    SV* value = FetchValue(aTHX_ hv, key);
    if (!value)
        return nullptr;
    sv_2mortal(SvREFCNT_inc_simple_NN(value));
    SvGETMAGIC(value);
    return value;
}

// The array a fetched "dependencies" value refers to, or null.
AV* DependencyArray(SV* value) {
    if (value && SvROK(value) && SvTYPE(SvRV(value)) == SVt_PVAV)
        return reinterpret_cast<AV*>(SvRV(value));
    return nullptr;
}

// Mortal copies of an array's elements in index order; holes are left out.
AV* CopyDependencyArray(pTHX_ AV* source) {
    AV* copies = reinterpret_cast<AV*>(sv_2mortal(reinterpret_cast<SV*>(newAV())));
    SSize_t last = av_len(source);
    for (SSize_t i = 0; i <= last; ++i) {
        SV** element = av_fetch(source, i, 0);
        if (!element)
            continue;
        STRLEN len = 0;
        const char* p = SvPV(*element, len);
        av_push(copies, newSVpvn(p, len));
    }
    return copies;
}

// The string form of a value whose get-magic has run ("" for no scalar).
RawText KeptText(pTHX_ SV* value) {
    if (!value)
        return RawText{true, "", 0};
    STRLEN len = 0;
    const char* p = SvPV_nomg(value, len);
    SV* copy = sv_2mortal(newSVpvn(p, len));
    return RawText{true, SvPVX(copy), len};
}

// Reads the keys the function uses, each once, in the function's order.
// CreateService: the strings, then "dependencies" (only an array counts),
// then the numbers; "tag_id" is not read. ConfigureService: "machine"; the
// strings with "dependencies" (any value) among them; "parameters" only when
// there is a path; the array's elements; "tag_id"; the numbers.
void ReadServiceInfo(pTHX_ HV* hv, RawInfo& raw, InfoUse use) {
    const bool configure = use == InfoUse::Configure;
    raw.machine = ReadText(aTHX_ hv, "machine");
    raw.name = ReadText(aTHX_ hv, "name");
    raw.display = ReadText(aTHX_ hv, "display");
    raw.user = ReadText(aTHX_ hv, "user");
    raw.password = ReadText(aTHX_ hv, "password");

    raw.dependencyArray = nullptr;
    raw.dependencyText = RawText{false, "", 0};
    bool hasDependencies = false;
    SV* dependencies = nullptr;
    if (configure) {
        dependencies = FetchKept(aTHX_ hv, "dependencies", hasDependencies);
        if (hasDependencies && !DependencyArray(dependencies))
            raw.dependencyText = KeptText(aTHX_ dependencies);
        raw.description = ReadText(aTHX_ hv, "description");
        raw.path = ReadText(aTHX_ hv, "path");
        raw.parameters =
            raw.path.present ? ReadText(aTHX_ hv, "parameters") : RawText{false, "", 0};
    } else {
        raw.path = ReadText(aTHX_ hv, "path");
        raw.parameters = ReadText(aTHX_ hv, "parameters");
        raw.description = ReadText(aTHX_ hv, "description");
        dependencies = FetchKept(aTHX_ hv, "dependencies", hasDependencies);
    }
    if (AV* array = DependencyArray(dependencies))
        raw.dependencyArray = CopyDependencyArray(aTHX_ array);

    raw.tagId = configure ? ReadNumber(aTHX_ hv, "tag_id") : RawNumber{false, 0};
    raw.serviceType = ReadNumber(aTHX_ hv, "service_type");
    raw.startType = ReadNumber(aTHX_ hv, "start_type");
    raw.errorControl = ReadNumber(aTHX_ hv, "error_control");
}

std::optional<std::string> ToOptional(const RawText& text) {
    if (!text.present)
        return std::nullopt;
    return std::string(text.p, text.len);
}

std::optional<DWORD> ToOptional(const RawNumber& number) {
    if (!number.present)
        return std::nullopt;
    return number.value;
}

servane::ServiceInfo ToServiceInfo(pTHX_ const RawInfo& raw) {
    servane::ServiceInfo info;
    info.machine = ToOptional(raw.machine);
    info.name = ToOptional(raw.name);
    info.display = ToOptional(raw.display);
    info.user = ToOptional(raw.user);
    info.password = ToOptional(raw.password);
    info.path = ToOptional(raw.path);
    info.parameters = ToOptional(raw.parameters);
    info.description = ToOptional(raw.description);
    if (raw.dependencyArray) {
        std::vector<std::string> names;
        SSize_t last = av_len(raw.dependencyArray);
        for (SSize_t i = 0; i <= last; ++i) {
            SV** element = av_fetch(raw.dependencyArray, i, 0);
            if (element)
                names.emplace_back(SvPVX(*element), SvCUR(*element));
        }
        info.dependencyArray = std::move(names);
    }
    info.dependencyText = ToOptional(raw.dependencyText);
    info.serviceType = ToOptional(raw.serviceType);
    info.startType = ToOptional(raw.startType);
    info.errorControl = ToOptional(raw.errorControl);
    info.tagId = ToOptional(raw.tagId);
    return info;
}

// Builds the record and runs the call sequence; its C++ objects live only
// in this frame, which cannot croak.
DWORD RunServiceInfo(pTHX_ const RawInfo& raw, InfoUse use) {
    servane::ServiceInfo info = ToServiceInfo(aTHX_ raw);
    return use == InfoUse::Create ? servane::CreateService(info) : servane::ConfigureService(info);
}

// The body of CreateService and ConfigureService: one argument, a
// reference to the service-information hash; anything else gives 0 without
// contacting the service manager.
void ServiceInfoCall(pTHX_ CV* cv, InfoUse use) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "pSvServiceInfo");
    HV* hv = HashArgument(aTHX_ ST(0));
    if (!hv)
        RETURN_DWORD(0);
    RawInfo raw;
    ReadServiceInfo(aTHX_ hv, raw, use);
    RETURN_DWORD(RunServiceInfo(aTHX_ raw, use));
}

XS_INTERNAL(XS_CreateService) {
    ServiceInfoCall(aTHX_ cv, InfoUse::Create);
}

XS_INTERNAL(XS_ConfigureService) {
    ServiceInfoCall(aTHX_ cv, InfoUse::Configure);
}

// What QueryServiceConfig stores, as mortal scalars (null: key not written).
struct QueryValues {
    SV* serviceType;
    SV* startType;
    SV* errorControl;
    SV* path;
    SV* loadOrder;
    SV* display;
    SV* user;
    AV* dependencies;
    SV* description;
};

SV* MortalString(pTHX_ const std::optional<std::string>& text) {
    return text ? sv_2mortal(newSVpvn(text->data(), text->size())) : nullptr;
}

DWORD RunQueryServiceConfig(pTHX_ const RawText& machine, const RawText& name,
                            QueryValues& values) {
    servane::ServiceConfig config;
    DWORD result = servane::QueryServiceConfig(std::string(machine.p, machine.len),
                                               std::string(name.p, name.len), config);
    if (!result)
        return 0;
    values.dependencies = reinterpret_cast<AV*>(sv_2mortal(reinterpret_cast<SV*>(newAV())));
    values.serviceType = sv_2mortal(newSViv(DwordToIV(config.serviceType)));
    values.startType = sv_2mortal(newSViv(DwordToIV(config.startType)));
    values.errorControl = sv_2mortal(newSViv(DwordToIV(config.errorControl)));
    values.path = MortalString(aTHX_ config.path);
    values.loadOrder = MortalString(aTHX_ config.loadOrder);
    values.display = MortalString(aTHX_ config.display);
    values.user = MortalString(aTHX_ config.user);
    for (const std::string& dependency : config.dependencies)
        av_push(values.dependencies, newSVpvn(dependency.data(), dependency.size()));
    values.description = MortalString(aTHX_ config.description);
    return result;
}

// Stores a mortal value under key (none for null); the hash takes its own
// reference, a tied hash a copy through its STORE.
void StoreValue(pTHX_ HV* hv, const char* key, SV* value) {
    if (value)
        StoreOwned(aTHX_ hv, key, SvREFCNT_inc_simple_NN(value));
}

XS_INTERNAL(XS_QueryServiceConfig) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "pSvServiceInfo");
    HV* hv = HashArgument(aTHX_ ST(0));
    if (!hv)
        RETURN_DWORD(0);
    RawText name = ReadText(aTHX_ hv, "name");
    RawText machine = ReadText(aTHX_ hv, "machine");
    hv_clear(hv);
    QueryValues values = {};
    DWORD result = RunQueryServiceConfig(aTHX_ machine, name, values);
    if (result) {
        StoreValue(aTHX_ hv, "service_type", values.serviceType);
        StoreValue(aTHX_ hv, "start_type", values.startType);
        StoreValue(aTHX_ hv, "error_control", values.errorControl);
        StoreValue(aTHX_ hv, "path", values.path);
        StoreValue(aTHX_ hv, "load_order", values.loadOrder);
        StoreValue(aTHX_ hv, "display", values.display);
        StoreValue(aTHX_ hv, "user", values.user);
        StoreValue(aTHX_ hv, "name", sv_2mortal(newSVpvn(name.p, name.len)));
        StoreValue(aTHX_ hv, "machine", sv_2mortal(newSVpvn(machine.p, machine.len)));
        StoreValue(aTHX_ hv, "dependencies",
                   sv_2mortal(newRV_inc(reinterpret_cast<SV*>(values.dependencies))));
        StoreValue(aTHX_ hv, "description", values.description);
    }
    RETURN_DWORD(result);
}

DWORD RunDeleteService(const RawText& machine, const RawText& name) {
    return servane::DeleteService(std::string(machine.p, machine.len),
                                  std::string(name.p, name.len));
}

XS_INTERNAL(XS_DeleteService) {
    dXSARGS;
    if (items < 1 || items > 2)
        croak("%s", "Usage: Win32::Servane::DeleteService( [$Machine,] $ServiceName )\n");
    RawText machine = items == 2 ? MortalText(aTHX_ ST(0)) : RawText{false, "", 0};
    RawText name = MortalText(aTHX_ ST(items - 1));
    RETURN_DWORD(RunDeleteService(machine, name));
}

SV* RunGetSecurity(pTHX_ const RawText& machine, const RawText& name) {
    std::optional<std::vector<BYTE>> descriptor =
        servane::GetSecurity(std::string(machine.p, machine.len), std::string(name.p, name.len));
    if (!descriptor)
        return &PL_sv_undef;
    return sv_2mortal(
        newSVpvn(reinterpret_cast<const char*>(descriptor->data()), descriptor->size()));
}

XS_INTERNAL(XS_GetSecurity) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "pszMachine, pszServiceName");
    RawText machine = MortalText(aTHX_ ST(0));
    RawText name = MortalText(aTHX_ ST(1));
    ST(0) = RunGetSecurity(aTHX_ machine, name);
    XSRETURN(1);
}

// The descriptor argument of SetSecurity, as read from Perl.
struct RawDescriptor {
    bool fromObject;   // address returned by the companion object's GetSD
    bool hasAddress;   // an integer to try as an address
    uintptr_t address; // pointer-sized, never cut to 32 bits
    RawText bytes;     // the argument's string bytes (not for objects)
};

DWORD RunSetSecurity(const RawText& machine, const RawText& name, const RawDescriptor& raw) {
    // An address is only ever read through memory checks, into a copy.
    std::optional<std::vector<BYTE>> descriptor;
    if (raw.hasAddress) {
        descriptor = servane::CopyDescriptorAt(raw.address);
        if (descriptor && !raw.fromObject && !IsValidSecurityDescriptor(descriptor->data()))
            descriptor.reset();
    }
    if (!descriptor && !raw.fromObject)
        descriptor = servane::CopyRelativeDescriptor(raw.bytes.p, raw.bytes.len);
    if (!descriptor)
        return 0;
    return servane::SetSecurity(std::string(machine.p, machine.len), std::string(name.p, name.len),
                                descriptor->data());
}

XS_INTERNAL(XS_SetSecurity) {
    dXSARGS;
    if (items != 3)
        croak_xs_usage(cv, "pszMachine, pszServiceName, pSvSecurityObject");
    RawText machine = MortalText(aTHX_ ST(0));
    RawText name = MortalText(aTHX_ ST(1));
    SV* object = ST(2);
    RawDescriptor raw = {false, false, 0, RawText{false, "", 0}};
    SvGETMAGIC(object);
    if (SvROK(object) && SvOBJECT(SvRV(object))) {
        static const char kCompanion[] = "Win32::Acloria";
        const char* package = HvNAME(SvSTASH(SvRV(object)));
        if (!package || std::strlen(package) != sizeof kCompanion - 1 ||
            !foldEQ(package, kCompanion, sizeof kCompanion - 1))
            RETURN_DWORD(0);
        ENTER;
        SAVETMPS;
        PUSHMARK(SP);
        XPUSHs(object);
        PUTBACK;
        int count = call_method("GetSD", G_SCALAR);
        SPAGAIN;
        if (count >= 1) {
            SV* address = POPs;
            raw.address = static_cast<uintptr_t>(SvUV(address));
            raw.hasAddress = true;
        }
        PUTBACK;
        FREETMPS;
        LEAVE;
        raw.fromObject = true;
        if (!raw.hasAddress)
            RETURN_DWORD(0);
    } else {
        // A non-numeric string has no address to try (its integer form is
        // 0 or a stray prefix), and converting it would only warn.
        if (SvIOK(object) || SvNOK(object) || looks_like_number(object)) {
            raw.hasAddress = true;
            raw.address = static_cast<uintptr_t>(SvUV_nomg(object));
        }
        STRLEN len = 0;
        const char* p = SvPV_nomg(object, len);
        raw.bytes = RawText{true, SvPVX(sv_2mortal(newSVpvn(p, len))), len};
    }
    RETURN_DWORD(RunSetSecurity(machine, name, raw));
}

// ---- Window stations ----
//
// The names are read from mortal copies, so a magical argument cannot
// change one while the other is read.

XS_INTERNAL(XS_ShowService) {
    dXSARGS;
    if (items > 3)
        croak("%s", "Usage: ShowService( $WindowStationName, [$DesktopName] )\n");
    const char* winSta = "Winsta0";
    const char* desktop = "Default";
    if (items >= 1)
        winSta = SvPV_nolen(sv_mortalcopy(ST(0)));
    if (items >= 2)
        desktop = SvPV_nolen(sv_mortalcopy(ST(1)));
    FreeConsole();
    int result = gWinStation.Set(winSta, desktop);
    AllocConsole();
    RETURN_DWORD(static_cast<DWORD>(result));
}

// LocalSystem's service window station.
XS_INTERNAL(XS_HideService) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(static_cast<DWORD>(gWinStation.Set("Service-0x0-3e7$", "Default")));
}

XS_INTERNAL(XS_RestoreService) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(static_cast<DWORD>(gWinStation.Restore()));
}

// Perl's extension version check: the bootstrap parameter, else
// $Package::XS_VERSION when defined, else $Package::VERSION, compared as
// version objects with the library's version. Croaks on a mismatch.
void CheckVersion(pTHX_ const char* module, I32 items, SV** args) {
    SV* sv;
    const char* vn = nullptr;
    if (items >= 2) {
        sv = args[1];
    } else {
        sv = get_sv(form("%s::%s", module, vn = "XS_VERSION"), 0);
        if (!sv || !SvOK(sv))
            sv = get_sv(form("%s::%s", module, vn = "VERSION"), 0);
    }
    if (!sv)
        return;
    SV* xssv = upg_version(newSVpvn(kXsVersion, sizeof kXsVersion - 1), 0);
    SV* pmsv = sv_isobject(sv) && sv_derived_from(sv, "version") ? SvREFCNT_inc_simple_NN(sv)
                                                                 : new_version(sv);
    SV* message = nullptr;
    if (vcmp(pmsv, xssv)) {
        message = sv_2mortal(newSVpvf(
            "%s object version %" SVf " does not match %s%s%s%s %" SVf, module,
            SVfARG(sv_2mortal(vstringify(xssv))), vn ? "$" : "", vn ? module : "", vn ? "::" : "",
            vn ? vn : "bootstrap parameter", SVfARG(sv_2mortal(vstringify(pmsv)))));
    }
    SvREFCNT_dec(xssv);
    SvREFCNT_dec(pmsv);
    if (message)
        croak("%s", SvPVX(message));
}

} // namespace

// The bootstrap, exported under both names the dynamic loader may look for.
extern "C" {
__attribute__((visibility("default"))) void boot_Win32__Servane(pTHX_ CV* cv);
__attribute__((visibility("default"), alias("boot_Win32__Servane"))) void
_boot_Win32__Servane(pTHX_ CV* cv);
}

XS_EXTERNAL(boot_Win32__Servane) {
    dXSARGS;
    const char* module = SvPV_nolen(ST(0));
    CheckVersion(aTHX_ module, items, &ST(0));

    // Registered in this order; each later function takes its place in it.
    newXS("Win32::Servane::Constant", XS_Constant, kFile);
    newXS("Win32::Servane::RegisterCallbacks", XS_RegisterCallbacks, kFile);
    newXS("Win32::Servane::StartService", XS_StartService, kFile);
    newXS("Win32::Servane::CallbackTimer", XS_CallbackTimer, kFile);
    newXS("Win32::Servane::StopService", XS_StopService, kFile);
    newXS("Win32::Servane::GetVersion", XS_GetVersion, kFile);
    newXS("Win32::Servane::CreateService", XS_CreateService, kFile);
    newXS("Win32::Servane::DeleteService", XS_DeleteService, kFile);
    newXS("Win32::Servane::ConfigureService", XS_ConfigureService, kFile);
    newXS("Win32::Servane::QueryServiceConfig", XS_QueryServiceConfig, kFile);
    newXS("Win32::Servane::SetServiceBits", XS_SetServiceBits, kFile);
    newXS("Win32::Servane::GetLastError", XS_GetLastError, kFile);
    newXS("Win32::Servane::State", XS_State, kFile);
    newXS("Win32::Servane::QueryLastMessage", XS_QueryLastMessage, kFile);
    newXS("Win32::Servane::ShowService", XS_ShowService, kFile);
    newXS("Win32::Servane::HideService", XS_HideService, kFile);
    newXS("Win32::Servane::RestoreService", XS_RestoreService, kFile);
    newXS("Win32::Servane::Timeout", XS_Timeout, kFile);
    newXS("Win32::Servane::GetServiceHandle", XS_GetServiceHandle, kFile);
    newXS("Win32::Servane::AcceptedControls", XS_AcceptedControls, kFile);
    newXS("Win32::Servane::SetSecurity", XS_SetSecurity, kFile);
    newXS("Win32::Servane::GetSecurity", XS_GetSecurity, kFile);
    newXS("Win32::Servane::DebugOutputPath", XS_DebugOutputPath, kFile);
    newXS("Win32::Servane::IsDebugBuild", XS_IsDebugBuild, kFile);

    if (PL_unitcheckav)
        call_list(PL_scopestack_ix, PL_unitcheckav);
    ST(0) = &PL_sv_yes;
    XSRETURN(1);
}
