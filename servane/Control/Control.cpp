// Perl glue of Win32::Servane::Control: the bootstrap and the script-callable
// functions. The service control logic is in control.cpp; the functions here
// count arguments, read values, call it and set results.
//
// croak() unwinds with longjmp: no object with a destructor may be alive in a
// frame that croaks. Arguments are read into mortal copies first; the Run*
// functions build the C++ values, call the core and return Perl values.
#include <windows.h>

#include "control.h"

#include <optional>
#include <string>
#include <vector>

#include "perlglue.h"

#ifndef XS_VERSION
#error "XS_VERSION (the package's $VERSION) must be defined by the build"
#endif

namespace {

const char kFile[] = "Control.cpp";

// A wait_for without a timeout waits this long (seconds).
constexpr NV kDefaultWaitSeconds = 30;
// The longest timeout a wait takes (milliseconds), about 49 days.
constexpr NV kLongestWaitMs = 4294967294.0;

// Whether the process started on a service window station; read at load,
// before the script can move to another one.
bool gfStartedAsService = false;

// The service an argument names: a name, or a hash reference with "name"
// and "machine" (a service-information hash does).
struct RawTarget {
    RawText machine;
    RawText name;
};

RawTarget ReadTarget(pTHX_ SV* arg) {
    if (HV* hv = HashArgument(aTHX_ arg))
        return RawTarget{ReadText(aTHX_ hv, "machine"), ReadText(aTHX_ hv, "name")};
    // Get-magic has run (HashArgument): read the value without running it again.
    STRLEN len = 0;
    const char* p = SvPV_nomg(arg, len);
    SV* copy = sv_2mortal(newSVpvn(p, len));
    return RawTarget{RawText{false, "", 0}, RawText{true, SvPVX(copy), len}};
}

servane::ServiceTarget ToTarget(const RawTarget& raw) {
    return servane::ServiceTarget{std::string(raw.machine.p, raw.machine.len),
                                  std::string(raw.name.p, raw.name.len)};
}

// After a failure: the error also goes into $^E (on Windows the system's
// last-error value, elsewhere errno).
void RecordError(pTHX) {
    SV* error = get_sv("\005", GV_ADD);
    sv_setiv(error, static_cast<IV>(servane::gdwControlError));
    SvSETMAGIC(error);
}

// The single result of a call that succeeds or fails: 1, or 0 with the
// error recorded.
#define RETURN_OUTCOME(ok)                                                                         \
    do {                                                                                           \
        const BOOL outcome_ = (ok);                                                                \
        if (!outcome_)                                                                             \
            RecordError(aTHX);                                                                     \
        RETURN_DWORD(outcome_ ? 1 : 0);                                                            \
    } while (0)

// ---- start and controls ----

BOOL RunStart(const RawTarget& raw, const RawText* args, SSize_t count) {
    std::vector<std::string> values;
    for (SSize_t i = 0; i < count; ++i)
        values.emplace_back(args[i].p, args[i].len);
    return servane::StartNamedService(ToTarget(raw), values);
}

// Win32::Servane::Control::start($service, @args)
XS_INTERNAL(XS_start) {
    dXSARGS;
    if (items < 1)
        croak_xs_usage(cv, "service, ...");
    RawTarget target = ReadTarget(aTHX_ ST(0));
    RawText* args = nullptr;
    Newx(args, items, RawText);
    SAVEFREEPV(args);
    for (I32 i = 1; i < items; ++i)
        args[i - 1] = MortalText(aTHX_ ST(i));
    RETURN_OUTCOME(RunStart(target, args, items - 1));
}

BOOL RunControl(const RawTarget& raw, DWORD code) {
    return servane::SendServiceControl(ToTarget(raw), code);
}

// One argument, the service; sends the fixed control code.
void FixedControl(pTHX_ CV* cv, DWORD code) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    RETURN_OUTCOME(RunControl(ReadTarget(aTHX_ ST(0)), code));
}

XS_INTERNAL(XS_stop) {
    FixedControl(aTHX_ cv, SERVICE_CONTROL_STOP);
}

XS_INTERNAL(XS_pause) {
    FixedControl(aTHX_ cv, SERVICE_CONTROL_PAUSE);
}

XS_INTERNAL(XS_resume) {
    FixedControl(aTHX_ cv, SERVICE_CONTROL_CONTINUE);
}

XS_INTERNAL(XS_interrogate) {
    FixedControl(aTHX_ cv, SERVICE_CONTROL_INTERROGATE);
}

// Win32::Servane::Control::control($service, $code)
XS_INTERNAL(XS_control) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "service, code");
    RawTarget target = ReadTarget(aTHX_ ST(0));
    DWORD code = IVToDword(SvIV(ST(1)));
    RETURN_OUTCOME(RunControl(target, code));
}

// ---- status and waiting ----

void StoreNumber(pTHX_ HV* hv, const char* key, DWORD value) {
    (void)hv_store(hv, key, static_cast<I32>(std::strlen(key)), newSViv(DwordToIV(value)), 0);
}

void StoreText(pTHX_ HV* hv, const char* key, const std::string& value) {
    (void)hv_store(hv, key, static_cast<I32>(std::strlen(key)),
                   newSVpvn(value.data(), value.size()), 0);
}

void StoreStatus(pTHX_ HV* hv, const servane::ServiceStatusInfo& status, bool withProcessId) {
    StoreNumber(aTHX_ hv, "state", status.state);
    StoreNumber(aTHX_ hv, "controls_accepted", status.controlsAccepted);
    StoreNumber(aTHX_ hv, "win32_exit_code", status.win32ExitCode);
    StoreNumber(aTHX_ hv, "service_exit_code", status.serviceExitCode);
    StoreNumber(aTHX_ hv, "check_point", status.checkPoint);
    StoreNumber(aTHX_ hv, "wait_hint", status.waitHint);
    if (withProcessId)
        StoreNumber(aTHX_ hv, "process_id", status.processId);
}

// A mortal reference that owns the new hash or array.
SV* MortalRef(pTHX_ void* owned) {
    return sv_2mortal(newRV_noinc(static_cast<SV*>(owned)));
}

// The status hash: a new mortal reference.
SV* StatusHash(pTHX_ const servane::ServiceStatusInfo& status) {
    HV* hv = newHV();
    SV* ref = MortalRef(aTHX_ hv);
    StoreStatus(aTHX_ hv, status, true);
    return ref;
}

// The status hash, or null with the error recorded.
SV* RunStatus(pTHX_ const RawTarget& raw) {
    servane::ServiceStatusInfo status;
    if (!servane::QueryStatus(ToTarget(raw), status))
        return nullptr;
    return StatusHash(aTHX_ status);
}

// The single result of a call that returns a value: the value, or undef
// with the error recorded.
#define RETURN_VALUE(value)                                                                        \
    do {                                                                                           \
        SV* value_ = (value);                                                                      \
        if (!value_)                                                                               \
            RecordError(aTHX);                                                                     \
        ST(0) = value_ ? value_ : &PL_sv_undef;                                                    \
        XSRETURN(1);                                                                               \
    } while (0)

// Win32::Servane::Control::status($service): a hash reference, or undef.
XS_INTERNAL(XS_status) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    RETURN_VALUE(RunStatus(aTHX_ ReadTarget(aTHX_ ST(0))));
}

// Signals wait until the wait hands control back to Perl.
bool NoSignalPending(void*) {
    dTHX;
    return !PL_sig_pending;
}

servane::WaitResult RunWait(const RawTarget& raw, DWORD state, DWORD timeoutMs,
                            servane::WaitProgress& progress) {
    return servane::WaitForState(ToTarget(raw), state, timeoutMs, NoSignalPending, nullptr,
                                 progress);
}

// Win32::Servane::Control::wait_for($service, $state [, $seconds]): 1 once
// the service is in the state, 0 when the time ran out, the service stopped
// or a call failed. A pending signal is handled between polls (its handler
// may die); the wait then goes on with the time that is left.
XS_INTERNAL(XS_wait_for) {
    dXSARGS;
    if (items < 2 || items > 3)
        croak_xs_usage(cv, "service, state, seconds = 30");
    RawTarget target = ReadTarget(aTHX_ ST(0));
    DWORD state = IVToDword(SvIV(ST(1)));
    NV seconds = items == 3 && SvOK(ST(2)) ? SvNV(ST(2)) : kDefaultWaitSeconds;
    if (!(seconds >= 0)) { // negative or NaN
        servane::gdwControlError = ERROR_INVALID_PARAMETER;
        RETURN_OUTCOME(FALSE);
    }
    NV milliseconds = seconds * 1000;
    DWORD timeoutMs =
        milliseconds >= kLongestWaitMs ? static_cast<DWORD>(kLongestWaitMs) : DWORD(milliseconds);
    servane::WaitProgress progress; // trivially destructible
    servane::WaitResult result;
    while ((result = RunWait(target, state, timeoutMs, progress)) ==
           servane::WaitResult::Interrupted)
        PERL_ASYNC_CHECK();
    RETURN_OUTCOME(result == servane::WaitResult::Reached);
}

// ---- lists ----

bool TextIs(const RawText& text, const char* word) {
    return text.len == std::strlen(word) && std::memcmp(text.p, word, text.len) == 0;
}

// Input the call does not take: recorded as ERROR_INVALID_PARAMETER before
// the call returns its failure.
void RefuseInput() {
    servane::gdwControlError = ERROR_INVALID_PARAMETER;
}

// An array of entry hashes: a new mortal reference.
SV* EntryList(pTHX_ const std::vector<servane::ServiceEntry>& entries) {
    AV* av = newAV();
    SV* ref = MortalRef(aTHX_ av);
    for (const servane::ServiceEntry& entry : entries) {
        HV* hv = newHV();
        av_push(av, newRV_noinc(reinterpret_cast<SV*>(hv)));
        StoreText(aTHX_ hv, "name", entry.name);
        StoreText(aTHX_ hv, "display", entry.display);
        StoreStatus(aTHX_ hv, entry.status, entry.hasProcessId);
    }
    return ref;
}

SV* RunList(pTHX_ const RawText& machine, DWORD type, DWORD state) {
    std::vector<servane::ServiceEntry> entries;
    if (!servane::ListServices(std::string(machine.p, machine.len), type, state, entries))
        return nullptr;
    return EntryList(aTHX_ entries);
}

// The enumeration state a "state" filter names.
bool StateFilter(const RawText& text, DWORD& state) {
    const struct {
        const char* name;
        DWORD state;
    } kFilters[] = {
        {"active", SERVICE_ACTIVE}, {"inactive", SERVICE_INACTIVE}, {"all", SERVICE_STATE_ALL}};
    for (const auto& filter : kFilters) {
        if (TextIs(text, filter.name)) {
            state = filter.state;
            return true;
        }
    }
    return false;
}

// Win32::Servane::Control::list(type => ..., state => ..., machine => ...):
// a reference to an array of entry hashes, or undef. An unknown filter or
// state name gives ERROR_INVALID_PARAMETER.
XS_INTERNAL(XS_list) {
    dXSARGS;
    if (items % 2)
        croak_xs_usage(cv, "%filters");
    RawText machine{false, "", 0};
    DWORD type = SERVICE_WIN32;
    DWORD state = SERVICE_STATE_ALL;
    bool valid = true;
    for (I32 i = 0; i < items; i += 2) {
        const RawText key = MortalText(aTHX_ ST(i));
        SV* value = ST(i + 1);
        if (TextIs(key, "machine"))
            machine = MortalText(aTHX_ value);
        else if (TextIs(key, "type"))
            type = IVToDword(SvIV(value));
        else if (TextIs(key, "state"))
            valid = StateFilter(MortalText(aTHX_ value), state) && valid;
        else
            valid = false;
    }
    if (!valid) {
        RefuseInput();
        RETURN_VALUE(nullptr);
    }
    RETURN_VALUE(RunList(aTHX_ machine, type, state));
}

SV* RunDependents(pTHX_ const RawTarget& raw) {
    std::vector<servane::ServiceEntry> entries;
    if (!servane::ListDependents(ToTarget(raw), entries))
        return nullptr;
    return EntryList(aTHX_ entries);
}

// Win32::Servane::Control::dependents($service): a reference to an array of
// entry hashes in stop order, or undef.
XS_INTERNAL(XS_dependents) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    RETURN_VALUE(RunDependents(aTHX_ ReadTarget(aTHX_ ST(0))));
}

// ---- recovery settings ----

const struct {
    const char* name;
    DWORD type;
} kActionTypes[] = {{"none", SC_ACTION_NONE},
                    {"restart", SC_ACTION_RESTART},
                    {"reboot", SC_ACTION_REBOOT},
                    {"run_command", SC_ACTION_RUN_COMMAND}};

// The settings of a set_failure_actions hash as read from Perl, before any
// C++ value is built. A text is present when its key is; undef reads as "".
struct RawAction {
    DWORD type;
    DWORD delay;
};

struct RawFailure {
    bool hasReset;
    DWORD reset;
    RawText reboot;
    RawText command;
    bool hasActions;
    const RawAction* actions;
    SSize_t count;
    bool hasFlag;
    bool flag;
};

// A value that may be undef, as text: undef is "" (no warning).
RawText OptionalText(pTHX_ SV* value) {
    SvGETMAGIC(value);
    if (!SvOK(value))
        return RawText{true, "", 0};
    STRLEN len = 0;
    const char* p = SvPV_nomg(value, len);
    SV* copy = sv_2mortal(newSVpvn(p, len));
    return RawText{true, SvPVX(copy), len};
}

// Each key of the hash is one of the names; iterates a tied hash through
// its own methods.
bool OnlyKeys(pTHX_ HV* hv, const char* const* names, size_t count) {
    hv_iterinit(hv);
    while (HE* he = hv_iternext(hv)) {
        I32 len = 0;
        const char* key = hv_iterkey(he, &len);
        bool known = false;
        for (size_t i = 0; i < count && !known; ++i)
            known = std::strlen(names[i]) == static_cast<size_t>(len) &&
                    std::memcmp(names[i], key, len) == 0;
        if (!known)
            return false;
    }
    return true;
}

// One action hash: { type => "restart", delay => milliseconds }.
bool ReadAction(pTHX_ SV* element, RawAction& out) {
    static const char* const kKeys[] = {"type", "delay"};
    HV* hv = element ? HashArgument(aTHX_ element) : nullptr;
    if (!hv || !OnlyKeys(aTHX_ hv, kKeys, 2))
        return false;
    SV* type = FetchValue(aTHX_ hv, "type");
    if (!type)
        return false;
    const RawText name = MortalText(aTHX_ type);
    bool known = false;
    for (const auto& t : kActionTypes) {
        if (TextIs(name, t.name)) {
            out.type = t.type;
            known = true;
        }
    }
    SV* delay = FetchValue(aTHX_ hv, "delay");
    out.delay = delay ? IVToDword(SvIV(delay)) : 0;
    return known;
}

bool ReadFailure(pTHX_ HV* hv, RawFailure& out) {
    static const char* const kKeys[] = {"reset_period", "reboot_message", "command", "actions",
                                        "non_crash_failures"};
    if (!OnlyKeys(aTHX_ hv, kKeys, sizeof kKeys / sizeof *kKeys))
        return false;
    out = RawFailure{false, 0, {false, "", 0}, {false, "", 0}, false, nullptr, 0, false, false};
    if (SV* v = FetchValue(aTHX_ hv, "reset_period")) {
        out.hasReset = true;
        out.reset = IVToDword(SvIV(v));
    }
    if (SV* v = FetchValue(aTHX_ hv, "reboot_message"))
        out.reboot = OptionalText(aTHX_ v);
    if (SV* v = FetchValue(aTHX_ hv, "command"))
        out.command = OptionalText(aTHX_ v);
    if (SV* v = FetchValue(aTHX_ hv, "non_crash_failures")) {
        out.hasFlag = true;
        out.flag = SvTRUE(v);
    }
    if (SV* v = FetchValue(aTHX_ hv, "actions")) {
        SvGETMAGIC(v);
        if (!SvROK(v) || SvTYPE(SvRV(v)) != SVt_PVAV)
            return false;
        AV* av = reinterpret_cast<AV*>(SvRV(v));
        const SSize_t count = av_top_index(av) + 1;
        RawAction* actions = nullptr;
        Newx(actions, count > 0 ? count : 1, RawAction);
        SAVEFREEPV(actions);
        for (SSize_t i = 0; i < count; ++i) {
            SV** element = av_fetch(av, i, 0);
            if (!ReadAction(aTHX_ element ? *element : nullptr, actions[i]))
                return false;
        }
        out.hasActions = true;
        out.actions = actions;
        out.count = count;
    }
    return true;
}

const char* ActionName(DWORD type) {
    for (const auto& t : kActionTypes)
        if (t.type == type)
            return t.name;
    return nullptr;
}

SV* TextOrUndef(pTHX_ const std::optional<std::string>& text) {
    return text ? newSVpvn(text->data(), text->size()) : newSV(0);
}

// The settings hash, or null with the error recorded. An action type
// without a name here is given as its number.
SV* RunFailureActions(pTHX_ const RawTarget& raw) {
    servane::FailureSettings settings;
    if (!servane::QueryFailureSettings(ToTarget(raw), settings))
        return nullptr;
    HV* hv = newHV();
    SV* ref = MortalRef(aTHX_ hv);
    StoreNumber(aTHX_ hv, "reset_period", settings.resetPeriod.value_or(0));
    (void)hv_stores(hv, "reboot_message", TextOrUndef(aTHX_ settings.rebootMessage));
    (void)hv_stores(hv, "command", TextOrUndef(aTHX_ settings.command));
    AV* actions = newAV();
    (void)hv_stores(hv, "actions", newRV_noinc(reinterpret_cast<SV*>(actions)));
    for (const servane::FailureAction& action :
         settings.actions.value_or(std::vector<servane::FailureAction>{})) {
        HV* entry = newHV();
        av_push(actions, newRV_noinc(reinterpret_cast<SV*>(entry)));
        const char* name = ActionName(action.type);
        (void)hv_stores(entry, "type", name ? newSVpv(name, 0) : newSViv(DwordToIV(action.type)));
        StoreNumber(aTHX_ entry, "delay", action.delayMs);
    }
    if (settings.nonCrashFailures)
        StoreNumber(aTHX_ hv, "non_crash_failures", *settings.nonCrashFailures ? 1 : 0);
    return ref;
}

// Win32::Servane::Control::failure_actions($service): a hash reference, or
// undef.
XS_INTERNAL(XS_failure_actions) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    RETURN_VALUE(RunFailureActions(aTHX_ ReadTarget(aTHX_ ST(0))));
}

std::optional<std::string> OptionalString(const RawText& text) {
    if (!text.present)
        return std::nullopt;
    return std::string(text.p, text.len);
}

BOOL RunSetFailure(const RawTarget& raw, const RawFailure& in) {
    servane::FailureSettings settings;
    if (in.hasReset)
        settings.resetPeriod = in.reset;
    settings.rebootMessage = OptionalString(in.reboot);
    settings.command = OptionalString(in.command);
    if (in.hasActions) {
        std::vector<servane::FailureAction> actions;
        for (SSize_t i = 0; i < in.count; ++i)
            actions.push_back(servane::FailureAction{in.actions[i].type, in.actions[i].delay});
        settings.actions = std::move(actions);
    }
    if (in.hasFlag)
        settings.nonCrashFailures = in.flag;
    return servane::ChangeFailureSettings(ToTarget(raw), settings);
}

// Win32::Servane::Control::set_failure_actions($service, \%settings): 1, or
// 0 with the error recorded. A key or action type it does not know, or
// actions that are not an array of hashes, give ERROR_INVALID_PARAMETER.
XS_INTERNAL(XS_set_failure_actions) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "service, settings");
    RawTarget target = ReadTarget(aTHX_ ST(0));
    HV* hv = HashArgument(aTHX_ ST(1));
    RawFailure settings;
    if (!hv || !ReadFailure(aTHX_ hv, settings)) {
        RefuseInput();
        RETURN_OUTCOME(FALSE);
    }
    RETURN_OUTCOME(RunSetFailure(target, settings));
}

SV* RunDelayedStart(pTHX_ const RawTarget& raw) {
    bool delayed = false;
    if (!servane::QueryDelayedStart(ToTarget(raw), delayed))
        return nullptr;
    return sv_2mortal(newSViv(delayed ? 1 : 0));
}

// Win32::Servane::Control::delayed_start($service): 1 or 0, or undef.
XS_INTERNAL(XS_delayed_start) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    RETURN_VALUE(RunDelayedStart(aTHX_ ReadTarget(aTHX_ ST(0))));
}

BOOL RunSetDelayedStart(const RawTarget& raw, bool delayed) {
    return servane::ChangeDelayedStart(ToTarget(raw), delayed);
}

// Win32::Servane::Control::set_delayed_start($service, $delayed)
XS_INTERNAL(XS_set_delayed_start) {
    dXSARGS;
    if (items != 2)
        croak_xs_usage(cv, "service, delayed");
    RawTarget target = ReadTarget(aTHX_ ST(0));
    const bool delayed = SvTRUE(ST(1));
    RETURN_OUTCOME(RunSetDelayedStart(target, delayed));
}

// ---- the process itself, and errors ----

// Win32::Servane::Control::is_service(): 1 when the process was started by
// the service control manager (it started on a service window station).
XS_INTERNAL(XS_is_service) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(gfStartedAsService ? 1 : 0);
}

// Win32::Servane::Control::last_error(): the Windows error code of the last
// failed call of this package (0 until one fails).
XS_INTERNAL(XS_last_error) {
    dXSARGS;
    if (items != 0)
        croak_xs_usage(cv, "");
    RETURN_DWORD(servane::gdwControlError);
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) void boot_Win32__Servane__Control(pTHX_ CV* cv);
}

// Checks the package's $VERSION against XS_VERSION and the Perl API the
// library was built for, then registers the functions.
XS_EXTERNAL(boot_Win32__Servane__Control) {
    dXSBOOTARGSXSAPIVERCHK;
    PERL_UNUSED_VAR(items); // declared by the macro, used only by some Perls' forms of it
    newXS("Win32::Servane::Control::start", XS_start, kFile);
    newXS("Win32::Servane::Control::stop", XS_stop, kFile);
    newXS("Win32::Servane::Control::pause", XS_pause, kFile);
    newXS("Win32::Servane::Control::resume", XS_resume, kFile);
    newXS("Win32::Servane::Control::interrogate", XS_interrogate, kFile);
    newXS("Win32::Servane::Control::control", XS_control, kFile);
    newXS("Win32::Servane::Control::status", XS_status, kFile);
    newXS("Win32::Servane::Control::wait_for", XS_wait_for, kFile);
    newXS("Win32::Servane::Control::list", XS_list, kFile);
    newXS("Win32::Servane::Control::dependents", XS_dependents, kFile);
    newXS("Win32::Servane::Control::failure_actions", XS_failure_actions, kFile);
    newXS("Win32::Servane::Control::set_failure_actions", XS_set_failure_actions, kFile);
    newXS("Win32::Servane::Control::delayed_start", XS_delayed_start, kFile);
    newXS("Win32::Servane::Control::set_delayed_start", XS_set_delayed_start, kFile);
    newXS("Win32::Servane::Control::is_service", XS_is_service, kFile);
    newXS("Win32::Servane::Control::last_error", XS_last_error, kFile);
    gfStartedAsService = servane::IsServiceWindowStation();
    Perl_xs_boot_epilog(aTHX_ ax);
}
