// kq5-conformance.exe: the conformance suite against the Windows it runs on, for a volunteer to
// run and send back. Every fact ends held, differs (with what Windows answered) or not run (and
// why); the exit code is 0 only when no fact differs.
//   kq5-conformance [--lab [--printer]] [--json]
//   --lab      adds the facts that stop and start the Spooler
//   --printer  with --lab: the walk-through with the real printer and the installed service
//   --json     the same report as JSON
// kq5-conformance --service NAME is the service of its own that the facts start and stop: it
// takes 1.5 s to start and 1.5 s to stop, so that a fact meets the service manager in each state.
#include <cstdio>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "conformance/facts.h"
#include "conformance/machine.h"
#include "conformance/report.h"
#include "conformance/walkthrough.h"

namespace {

constexpr DWORD kTransitionMs = 1500;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;

void Report(DWORD state, DWORD controls) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls;
    status.dwCheckPoint = pending ? 1 : 0;
    status.dwWaitHint = pending ? 2 * kTransitionMs : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        // While it stops it still lists stop among its controls, as kq5 does: the service
        // manager's refusal of a second stop must come from the state alone.
        Report(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP);
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR* argv) {
    statusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    Report(SERVICE_START_PENDING, 0);
    Sleep(kTransitionMs);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitForSingleObject(stopRequested, INFINITE);
    Sleep(kTransitionMs);
    Report(SERVICE_STOPPED, 0);
}

int RunAsService(const std::string& name) {
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring wide(name.begin(), name.end());
    const SERVICE_TABLE_ENTRYW table[] = {{wide.data(), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

// The version and build of the Windows it runs on. RtlGetVersion, as GetVersionExW tells a
// program without a compatibility manifest that it runs on Windows 8 (the GetVersionEx page:
// "applications not manifested for Windows 8.1 or Windows 10 will return the Windows 8 OS
// version value (6.2)").
std::string WindowsVersion() {
    using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    const auto call = reinterpret_cast<RtlGetVersionCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    std::string version = "Windows (version unknown: no RtlGetVersion)";
    if (call != nullptr && call(&info) == 0) {
        version = "Windows " + std::to_string(info.dwMajorVersion) + "." +
                  std::to_string(info.dwMinorVersion) + " build " +
                  std::to_string(info.dwBuildNumber);
        if (info.szCSDVersion[0] != 0) {
            const std::wstring pack = info.szCSDVersion;
            version += " " + std::string(pack.begin(), pack.end());
        }
    }
    using WineVersionCall = const char*(CDECL*)();
    const auto wine = reinterpret_cast<WineVersionCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version")));
    if (wine != nullptr) {
        version = std::string("Wine ") + wine() + " (as " + version + ")";
    }
    return version;
}

constexpr const char* kUsage =
    "usage: kq5-conformance [--lab [--printer]] [--json]\n"
    "  --lab      also the facts that stop and start the Spooler (a lab PC, not a working one)\n"
    "  --printer  with --lab: a walk-through with the real printer and the installed service\n"
    "  --json     the report as JSON\n"
    "  --help, -h, /?  this text; --version: the version\n"
    "Exit codes: 0 no fact differs; 1 a fact differs; 2 bad usage.\n";

const cmdline::Program kProgram{
    .name = "kq5-conformance",
    .version = KQ5_VERSION,
    .help = kUsage,
    .options = {{"--lab"}, {"--printer"}, {"--json"}, {"--service", "NAME"}},
    .forms = {{"kq5-conformance [--lab [--printer]] [--json]", {"--lab", "--printer", "--json"}},
              {"kq5-conformance --service NAME (the facts' own service, started by the "
               "service manager)",
               {"--service"},
               "--service"}}};

int Run(const cmdline::Parsed& parsed) {
    if (parsed.Has("--service")) {
        return RunAsService(parsed.Value("--service"));
    }
    const bool lab = parsed.Has("--lab");
    const bool printer = parsed.Has("--printer");
    const bool json = parsed.Has("--json");
    if (printer && !lab) {
        std::fputs(cmdline::Refusal(kProgram, parsed.form, "--printer goes with --lab").c_str(),
                   stderr);
        return 2;
    }
    conformance::Report report;
    report.program = std::string("kq5-conformance ") + KQ5_VERSION;
    report.system = WindowsVersion();
    if (lab) {
        report.options.push_back("--lab");
    }
    if (printer) {
        report.options.push_back("--printer");
    }
    // The facts' progress and the walk-through's prompts go to the console (standard error), the
    // report alone to standard output, so that it can be sent to a file.
    report.outcomes = conformance::RunFacts(lab, stderr);
    if (printer) {
        for (const conformance::Outcome& outcome : conformance::RunPrinterWalkthrough(stderr)) {
            report.outcomes.push_back(outcome);
        }
    }
    const std::string out =
        json ? conformance::RenderJson(report) : conformance::RenderText(report);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return conformance::ExitCode(report);
}

}  // namespace

int main(int argc, char** argv) {
    return cmdline::Main(kProgram, {argv + 1, argv + argc}, Run);
}
