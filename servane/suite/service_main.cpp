// A service program built on the core, driven the way a service script
// drives the Perl glue: it starts the dispatcher thread and then either
// polls the state (as with State and QueryLastMessage) or lets the callback
// loop call a C++ hook in place of Perl subroutines. What it sees goes, one
// line at a time, to a report file that the suite reads.
//
//   servane_suite_service REPORT [mode=poll|callback] [answer=spct]
//       [stop=clean|hung|error] [timeout=SECONDS] [callbacks=all|some]
//       [period=MS] [startstate=0|1] [race=N name=SERVICE]
//
// answer: the pending states a polling run answers (start, pause, continue,
// stop); the others are left to the automatic move after `timeout`.
// stop: how the run ends on a stop: report SERVICE_STOPPED and stop, stop
// without reporting (the dispatcher is then still waiting), or report
// SERVICE_STOPPED with the service-specific error 42.
// race: once running, N rounds of reports from two threads at once, each
// round checked against what the manager (asked for SERVICE) then holds.
#include "runtime.h"
#include "service.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string report;
    std::string name;
    int race = 0;
    bool callbackMode = false;
    std::string answer = "spct";
    std::string stop = "clean";
    bool allCallbacks = true;
    LONG period = 300;
    bool startAnswers = true;
};

Options gOptions;

void Report(const std::string& line) {
    if (FILE* out = std::fopen(gOptions.report.c_str(), "a")) {
        std::fputs((line + "\n").c_str(), out);
        std::fclose(out);
    }
}

void Report(const char* what, unsigned long value) {
    Report(std::string(what) + " " + std::to_string(value));
}

bool Answers(char pending) {
    return gOptions.answer.find(pending) != std::string::npos;
}

// StopService, timed; then the dispatcher thread's exit code once it has
// ended (a terminated thread may take a moment).
void StopAndReport() {
    auto start = std::chrono::steady_clock::now();
    BOOL result = StopService();
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    DWORD code = STILL_ACTIVE;
    if (HANDLE thread = ghServiceThread.load()) {
        WaitForSingleObject(thread, 10000);
        GetExitCodeThread(thread, &code);
    }
    Report("stopped result=" + std::to_string(result) + " ms=" + std::to_string(ms) +
           " dispatcher=" + std::to_string(code));
}

// The end of a run on a stop, as a script would do it.
void EndOnStop() {
    if (gOptions.stop == "clean")
        UpdateServiceStatus(SERVICE_STOPPED, 0, 0);
    else if (gOptions.stop == "error")
        UpdateServiceStatus(SERVICE_STOPPED, 0, 42);
    StopAndReport();
}

// Two threads report at the same moments, round after round, as the control
// handler and a script may; after each round the manager must hold the
// state the module holds.
void RaceReports() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE self =
        manager ? OpenServiceA(manager, gOptions.name.c_str(), SERVICE_QUERY_STATUS) : nullptr;
    if (!self) {
        Report("race cannot query itself", GetLastError());
        return;
    }
    // Meeting points of the two threads: each waits until both arrived. (A
    // spinning one: std::barrier of this libstdc++ can miss a wake-up on
    // Windows.)
    std::atomic<int> arrivals{0};
    auto meet = [&arrivals](int round) {
        arrivals.fetch_add(1);
        while (arrivals.load() < 2 * round)
            std::this_thread::yield();
    };
    auto reporter = [&](DWORD state) {
        for (int i = 0; i < gOptions.race; ++i) {
            meet(2 * i + 1);
            UpdateServiceStatus(state, 0, 0);
            meet(2 * i + 2);
        }
    };
    std::thread running(reporter, SERVICE_RUNNING);
    int mismatches = 0;
    for (int i = 0; i < gOptions.race; ++i) {
        meet(2 * i + 1);
        UpdateServiceStatus(SERVICE_PAUSED, 0, 0);
        meet(2 * i + 2);
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(self, &status) && status.dwCurrentState != gdwCurrentState)
            ++mismatches;
    }
    running.join();
    UpdateServiceStatus(SERVICE_RUNNING, 0, 0);
    CloseServiceHandle(self);
    CloseServiceHandle(manager);
    Report("race mismatches", static_cast<unsigned long>(mismatches));
}

void RunPolling() {
    StartServiceThread();
    bool raced = gOptions.race == 0;
    for (;;) {
        LONG message = gdwLastMessage.exchange(-1);
        if (message != -1)
            Report("control", static_cast<unsigned long>(message));
        DWORD state = gdwCurrentState;
        DWORD answer = 0;
        if (state == SERVICE_START_PENDING && Answers('s'))
            answer = SERVICE_RUNNING;
        else if (state == SERVICE_PAUSE_PENDING && Answers('p'))
            answer = SERVICE_PAUSED;
        else if (state == SERVICE_CONTINUE_PENDING && Answers('c'))
            answer = SERVICE_RUNNING;
        if (answer) {
            UpdateServiceStatus(answer, 0, 0);
            Report("state", answer);
        }
        if (!raced && answer == SERVICE_RUNNING) {
            RaceReports();
            raced = true;
        }
        if (state == SERVICE_STOP_PENDING && Answers('t')) {
            EndOnStop();
            return;
        }
        if (state == SERVICE_STOPPED) {
            StopAndReport();
            return;
        }
        Sleep(10);
    }
}

// The C++ stand-in for the script's subroutines: every registered slot
// holds this marker, and the hook answers each event as a script would.
char gCallbackMarker;

bool CallbackHook(struct cv* callback, DWORD event, struct hv*, bool* hasState, DWORD* state) {
    if (callback != reinterpret_cast<struct cv*>(&gCallbackMarker))
        return false;
    Report("event", event);
    switch (event) {
    case kServiceControlStart:
        if (gOptions.startAnswers) {
            *hasState = true;
            *state = SERVICE_RUNNING;
        }
        break;
    case SERVICE_CONTROL_PAUSE:
        *hasState = true;
        *state = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        *hasState = true;
        *state = SERVICE_RUNNING;
        break;
    case SERVICE_CONTROL_STOP:
        EndOnStop();
        break;
    default:
        break;
    }
    return true;
}

void RunCallbacks() {
    SetCallbackHook(CallbackHook);
    auto* marker = reinterpret_cast<struct cv*>(&gCallbackMarker);
    if (gOptions.allCallbacks) {
        RegisterCallbackForAll(marker);
    } else {
        for (DWORD code :
             {kServiceControlTimer, kServiceControlStart, static_cast<DWORD>(SERVICE_CONTROL_STOP),
              static_cast<DWORD>(SERVICE_CONTROL_PAUSE),
              static_cast<DWORD>(SERVICE_CONTROL_CONTINUE),
              static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE)})
            gCallbackTable.SetCallback(code, marker);
    }
    if (!StartServiceThread()) {
        Report("no dispatcher thread");
        return;
    }
    RunCallbackLoop(gOptions.period);
    Report("loop ended");
}

bool ParseOptions(int argc, char** argv) {
    if (argc < 2)
        return false;
    gOptions.report = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string option = argv[i];
        size_t equals = option.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = option.substr(0, equals);
        std::string value = option.substr(equals + 1);
        if (key == "mode")
            gOptions.callbackMode = value == "callback";
        else if (key == "answer")
            gOptions.answer = value;
        else if (key == "stop")
            gOptions.stop = value;
        else if (key == "timeout")
            gdwTimeout = std::atoi(value.c_str());
        else if (key == "callbacks")
            gOptions.allCallbacks = value == "all";
        else if (key == "period")
            gOptions.period = std::atoi(value.c_str());
        else if (key == "name")
            gOptions.name = value;
        else if (key == "race")
            gOptions.race = std::atoi(value.c_str());
        else if (key == "startstate")
            gOptions.startAnswers = value == "1";
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // On Windows nothing calls a static library's entry point.
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
#endif
    if (!ParseOptions(argc, argv)) {
        std::fprintf(stderr, "usage: %s REPORT [key=value]...\n", argc > 0 ? argv[0] : "service");
        return 2;
    }
    Report("main");
    if (gOptions.callbackMode)
        RunCallbacks();
    else
        RunPolling();
    Report("end");
    return 0;
}
