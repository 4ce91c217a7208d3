// Perl glue of Win32::Servane::Control: the bootstrap and the script-callable
// functions. The service control logic is in control.cpp; the functions here
// count arguments, read values, call it and set results.
//
// croak() unwinds with longjmp: no object with a destructor may be alive in a
// frame that croaks. Arguments are read into mortal copies first; the Run*
// functions build the C++ values, call the core and return Perl values.
#include <windows.h>

#include "control.h"

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

// The status hash: a new mortal reference.
SV* StatusHash(pTHX_ const servane::ServiceStatusInfo& status) {
    HV* hv = newHV();
    SV* ref = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(hv)));
    StoreNumber(aTHX_ hv, "state", status.state);
    StoreNumber(aTHX_ hv, "controls_accepted", status.controlsAccepted);
    StoreNumber(aTHX_ hv, "win32_exit_code", status.win32ExitCode);
    StoreNumber(aTHX_ hv, "service_exit_code", status.serviceExitCode);
    StoreNumber(aTHX_ hv, "check_point", status.checkPoint);
    StoreNumber(aTHX_ hv, "wait_hint", status.waitHint);
    StoreNumber(aTHX_ hv, "process_id", status.processId);
    return ref;
}

// The status hash, or null with the error recorded.
SV* RunStatus(pTHX_ const RawTarget& raw) {
    servane::ServiceStatusInfo status;
    if (!servane::QueryStatus(ToTarget(raw), status))
        return nullptr;
    return StatusHash(aTHX_ status);
}

// Win32::Servane::Control::status($service): a hash reference, or undef.
XS_INTERNAL(XS_status) {
    dXSARGS;
    if (items != 1)
        croak_xs_usage(cv, "service");
    SV* result = RunStatus(aTHX_ ReadTarget(aTHX_ ST(0)));
    if (!result)
        RecordError(aTHX);
    ST(0) = result ? result : &PL_sv_undef;
    XSRETURN(1);
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
    newXS("Win32::Servane::Control::start", XS_start, kFile);
    newXS("Win32::Servane::Control::stop", XS_stop, kFile);
    newXS("Win32::Servane::Control::pause", XS_pause, kFile);
    newXS("Win32::Servane::Control::resume", XS_resume, kFile);
    newXS("Win32::Servane::Control::interrogate", XS_interrogate, kFile);
    newXS("Win32::Servane::Control::control", XS_control, kFile);
    newXS("Win32::Servane::Control::status", XS_status, kFile);
    newXS("Win32::Servane::Control::wait_for", XS_wait_for, kFile);
    newXS("Win32::Servane::Control::is_service", XS_is_service, kFile);
    newXS("Win32::Servane::Control::last_error", XS_last_error, kFile);
    gfStartedAsService = servane::IsServiceWindowStation();
    Perl_xs_boot_epilog(aTHX_ ax);
}
