// kq5doctor against the simulated Windows: each problem in turn, from a machine where all is well.
#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/format.h"
#include "doctor/doctor.h"
#include "doctor/text.h"
#include "queue/queue.h"
#include "sim_fixture.h"

// Memory running out at one allocation: the program's nothrow array allocations (its buffers
// for what Windows answers) can be made to fail, the nth one after a test arms the count.
namespace {
std::atomic<int> nothrowAllocationsBeforeFailure{0};  // 0: none fails
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (nothrowAllocationsBeforeFailure.load() > 0 &&
        nothrowAllocationsBeforeFailure.fetch_sub(1) == 1) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

const std::string kKq5Path = "\"C:\\Program Files\\kq5\\kq5svc.exe\"";

sim::ServiceConfig Kq5Config(const std::string& path = kKq5Path) {
    sim::ServiceConfig config;
    config.type = SERVICE_WIN32_OWN_PROCESS;
    config.binaryPath = path;
    config.failureActions = {{SC_ACTION_RESTART, 60000}};
    config.requiredPrivileges = {"SeChangeNotifyPrivilege"};
    return config;
}

void InstallKq5(const sim::ServiceConfig& config = Kq5Config(), DWORD state = SERVICE_RUNNING) {
    sim::InstallService("KorvaneKeeper", config, state);
}

// Queue and printer on USB005, kq5 installed under another name and running, a decoy present.
void WellMachine() {
    sim::AddPort(u"USB001");
    sim::AddPort(u"USB005");
    sim::SetRegistryString(PortKey("USB001"), "Device Id", "usb\\vid_1234&pid_0001\\x");
    sim::SetRegistryString(PortKey("USB005"), "Device Id", "usb\\vid_0483&pid_5741\\A1B2C3");
    AddQueue(u"USB005");
    PlugPrinter("A1B2C3");
    InstallKq5();
    sim::AddProgramFile("C:\\Program Files\\kq5\\kq5svc.exe", "1.0.0.0");
}

// kq5 installed with its settings changed by CHANGE.
std::function<void()> Kq5(const std::function<void(sim::ServiceConfig&)>& change) {
    return [=] {
        sim::ServiceConfig config = Kq5Config();
        change(config);
        InstallKq5(config);
    };
}

// kq5 installed to run COMMANDLINE, and the program FILE there with VERSION (none: no file).
std::function<void()> Kq5At(const std::string& commandLine, const std::string& file = "",
                            const std::string& version = "", bool fixedPart = true) {
    return [=] {
        InstallKq5(Kq5Config(commandLine));
        if (!file.empty()) {
            sim::AddProgramFile(file, version, fixedPart);
        }
    };
}

// kq5 installed with these recovery actions and required privileges.
std::function<void()> Kq5Holding(const std::vector<SC_ACTION>& actions,
                                 const std::vector<std::string>& privileges) {
    return Kq5([=](sim::ServiceConfig& c) {
        c.failureActions = actions;
        c.requiredPrivileges = privileges;
    });
}

// Call NTH of FUNCTION fails with ERROR.
std::function<void()> Fail(const std::string& function, int nth, DWORD error) {
    return [=] { sim::FailCall(function, nth, error); };
}

// kq5 stopped, and the printer's device refused with ERROR as when another program holds it.
std::function<void()> HeldWhileKq5Stopped(DWORD error) {
    return [=] {
        InstallKq5(Kq5Config(), SERVICE_STOPPED);
        sim::FailCall("CreateFileW", 1, error);
    };
}

void QueueOn(const char16_t* port) {
    sim::RemovePrinter(u"Korvane-Q5");
    AddQueue(port);
}

testing::AssertionResult Has(const std::string& text, const std::string& piece) {
    if (text.find(piece) != std::string::npos) {
        return testing::AssertionSuccess() << "\"" << piece << "\" is in:\n" << text;
    }
    return testing::AssertionFailure() << "no \"" << piece << "\" in:\n" << text;
}

struct Outcome {
    int code = -1;
    std::string out;  // the report
};

// kq5doctor run with ARGS; messages for standard error go to ERRORS (when given), else must be
// none.
Outcome Doctor(const std::vector<std::string>& args, std::string* errors = nullptr) {
    Outcome run;
    std::string said;
    run.code = RunDoctor(args, run.out, errors != nullptr ? *errors : said);
    EXPECT_EQ(said, "");
    return run;
}

// On a fresh machine where all is well but for what CHANGE did to it.
Outcome DoctorOn(const std::function<void()>& change, const std::vector<std::string>& args = {}) {
    sim::Reset();
    WellMachine();
    change();
    return Doctor(args);
}

const std::string kClosing[] = {
    "\nNothing wrong found.\n", "\nProblems found: see the PROBLEM lines and their fixes.\n",
    "\nkq5doctor could not look at everything: see the CANNOT lines.\n"};

struct Case {
    const char* name;
    std::function<void()> breakIt;
    int exit;
    std::string problem;  // key in the JSON "problems" list; empty: none
    std::string line;     // a piece of the text report
    std::string json;     // a piece of the JSON object
};

class DoctorTest : public SimTest {};

// Each case: the exit code, its closing sentence (a CANNOT outweighs a PROBLEM, before or after
// it), the finding's line, the JSON's exit, problem key and field.
TEST_F(DoctorTest, EachProblemGivesItsFindingExitCodeAndField) {
    const Case cases[] = {
        {"the service's program is gone", Kq5At("\"C:\\gone\\kq5svc.exe\" -x"), 1,
         "kq5_program_missing", "its program C:\\gone\\kq5svc.exe does not exist (0x2: not found)",
         "\"version\":null,\"version_error\":2"},
        {"the program has no version resource",
         Kq5At("C:\\old\\kq5svc.exe", "C:\\old\\KQ5SVC.EXE", ""), 2, "kq5_version_unknown",
         "CANNOT   kq5 (service \"KorvaneKeeper\"): the version of C:\\old\\kq5svc.exe cannot be "
         "read (0x714: no version resource)",
         "\"version_error\":1812"},
        {"the version cannot be read", Fail("GetFileVersionInfoW", 1, ERROR_ACCESS_DENIED), 2,
         "kq5_version_unknown", "cannot be read (0x5: access denied)", "\"version\":null"},
        {"no device at all", [] { sim::UnplugDevice(PrinterPath("A1B2C3")); }, 1, "printer_absent",
         "PROBLEM  the printer is not plugged in: no present USB device carries 0483 and 5741\n"
         "         fix: plug the printer in and switch it on\n",
         "\"devices\":[],\"printer\":{\"found\":false"},
        {"no queue", [] { sim::RemovePrinter(u"Korvane-Q5"); }, 1, "queue_missing",
         "queue Korvane-Q5 does not exist (0x709: no such queue)", "\"open_error\":1801"},
        {"queue on another port", [] { QueueOn(u"LPT1:"); }, 1, "port_mismatch",
         "the queue prints to LPT1: but the printer is on USB005", "\"port_match\":false"},
        // Windows matches port names without regard to case (Wine's localspl, localmon.c
        // does_port_exist: lstrcmpiW against EnumPorts' names), so a queue on "usb005" prints to
        // USB005; only the letters fold: another port is still another port.
        {"queue on the printer's port in small letters", [] { QueueOn(u"usb005"); }, 0, "",
         "ok       the queue prints to USB005, the printer's port", "\"port_match\":true"},
        {"queue on another port in small letters", [] { QueueOn(u"usb0005"); }, 1, "port_mismatch",
         "the queue prints to usb0005 but", "\"port_match\":false"},
        {"the only device is not the printer: another port description",
         [] { PlugPrinter("A1B2C3", "OtherQ5"); }, 1, "printer_absent",
         ": not the printer: port description \"OtherQ5\" is not KorvaneQ5\nPROBLEM  the printer "
         "is not plugged in: 1 present USB device(s) carry 0483 and 5741, none is the printer\n",
         "\"identity\":\"description_different\",\"description\":\"OtherQ5\"}],\"printer\":{"
         "\"found\":false"},
        {"a decoy beside the printer", [] { PlugPrinter("0D3C0Y", "OtherQ5"); }, 0, "",
         "usb#vid_0483&pid_5741#0d3c0y", "\"identity\":\"description_different\""},
        {"port description longer than the read",
         [] { PlugPrinter("A1B2C3", std::string(300, 'K')); }, 1, "printer_absent",
         "port description too long", "\"identity\":\"description_too_long\""},
        {"port description missing", [] { sim::DeleteRegistryKey(DescriptionKey("A1B2C3")); }, 1,
         "printer_absent", "port description missing", "\"identity\":\"description_missing\""},
        {"Spooler stopped", [] { sim::InstallService("Spooler", {}, SERVICE_STOPPED); }, 1,
         "spooler_not_running", "Spooler service: stopped", "\"queue_spooler_down\""},
        {"kq5 not installed", [] { InstallKq5(sim::ServiceConfig{}); }, 1, "kq5_not_installed",
         "no service runs kq5svc.exe\n         fix: install kq5: msiexec /i kq5-" KQ5_VERSION
         "-x64.msi\n",
         "\"installed\":false"},
        {"unquoted path with a space", Kq5At("C:\\Program Files\\kq5\\kq5svc.exe"), 1,
         "kq5_path_unquoted", "is not quoted and holds a space", "\"path_quoted\":false"},
        {"kq5 stopped", [] { InstallKq5(Kq5Config(), SERVICE_STOPPED); }, 1, "kq5_not_running",
         "kq5 (service \"KorvaneKeeper\"): stopped", "\"state\":\"stopped\""},
        {"kq5 manual start", Kq5([](auto& c) { c.startType = SERVICE_DEMAND_START; }), 1,
         "kq5_not_automatic", "start type manual", "\"start_type\":\"manual\""},
        {"configuration levels unknown to the system",
         Kq5([](auto& c) { c.config2Unsupported = true; }), 2, "kq5_recovery_unknown",
         "CANNOT   kq5 (service \"KorvaneKeeper\"): its recovery actions cannot be read (0x7c",
         "\"recovery\":null,\"recovery_error\":124"},
        {"required privileges unknown to the system",
         Fail("QueryServiceConfig2W", 3, ERROR_INVALID_LEVEL), 2, "kq5_privileges_unknown",
         "CANNOT   kq5 (service \"KorvaneKeeper\"): its required privileges",
         "\"required_privileges\":null"},
        {"service manager refused", Fail("OpenSCManagerA", 1, ERROR_ACCESS_DENIED), 2,
         "service_manager_unavailable", "the service manager cannot be opened (0x5: access denied)",
         "\"manager_error\":5"},
        {"device list unreadable", Fail("SetupDiGetClassDevsW", 1, ERROR_NOT_ENOUGH_MEMORY), 2,
         "device_list_unreadable", "the list of USB devices cannot be read (0x8",
         "\"devices_listed\":false"},
        {"printer held by kq5 while it runs", Fail("CreateFileW", 1, ERROR_SHARING_VIOLATION), 0,
         "", "held by kq5, as expected while it runs", "\"device\":\"held\""},
        {"printer held by another program while kq5 is stopped",
         HeldWhileKq5Stopped(ERROR_SHARING_VIOLATION), 1, "printer_held", "held by another program",
         "\"device\":\"held\""},
        // Wine's pipe-backed virtual printer answers a held device with ERROR_PIPE_BUSY, and an
        // exclusive open of a device already open elsewhere can be refused as access denied.
        {"printer held, answered as a busy pipe", HeldWhileKq5Stopped(ERROR_PIPE_BUSY), 1,
         "printer_held", "held by another program (0xe7: in use by another program)",
         "\"device\":\"held\",\"device_error\":231"},
        {"printer held, answered as access denied", HeldWhileKq5Stopped(ERROR_ACCESS_DENIED), 1,
         "printer_held", "held by another program (0x5: access denied)",
         "\"device\":\"held\",\"device_error\":5"},
        {"printer's device gone between listing and opening",
         Fail("CreateFileW", 1, ERROR_DEVICE_NOT_CONNECTED), 1, "printer_open_failed",
         "PROBLEM  the printer's device cannot be opened (0x48f: the device is not connected)",
         "\"device\":\"failed\",\"device_error\":1167"},
        {"queue paused while the printer is plugged in",
         [] { ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE); }, 1, "queue_paused",
         "PROBLEM  queue Korvane-Q5 is paused though the printer is plugged in",
         "\"problems\":[\"queue_paused\"]"},
        // Unplugged, the pause is kq5's own doing: said, not counted (the absent printer is).
        {"queue paused while the printer is unplugged",
         [] {
             ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
             sim::UnplugDevice(PrinterPath("A1B2C3"));
         },
         1, "printer_absent",
         "ok       queue Korvane-Q5 is paused: kq5 does so while the printer is unplugged",
         "\"problems\":[\"printer_absent\"]"},
        {"Spooler's record may not be opened", Fail("OpenServiceA", 1, ERROR_ACCESS_DENIED), 2,
         "spooler_unknown", "CANNOT   the Spooler's state cannot be read (0x5: access denied)",
         "\"spooler\":{\"state\":null,\"error\":5}"},
        {"Spooler's state may not be queried", Fail("QueryServiceStatus", 1, ERROR_ACCESS_DENIED),
         2, "spooler_unknown", "CANNOT   the Spooler's state cannot be read (0x5: access denied)",
         "\"spooler\":{\"state\":null,\"error\":5}"},
        // Without a Spooler service kq5 is the first service of the list.
        {"no Spooler service at all", [] { sim::RemoveService("Spooler"); }, 2, "spooler_unknown",
         "CANNOT   the Spooler's state cannot be read (0x424: no such service)",
         "\"installed\":true,\"name\":\"KorvaneKeeper\""},
        // Some services refuse an administrator's query of their configuration (protected ones).
        {"a service that may not be opened before kq5",
         Fail("OpenServiceW", 1, ERROR_ACCESS_DENIED), 0, "",
         "ok       kq5 (service \"KorvaneKeeper\"): running",
         "\"unreadable\":[\"Spooler\"],\"unreadable_error\":5,\"installed\":true,\"name\":"
         "\"KorvaneKeeper\""},
        // kq5 is found by its program: a service whose program cannot be read may be kq5, so the
        // doctor cannot say kq5 is not installed.
        {"kq5's own service may not be opened", Fail("OpenServiceW", 2, ERROR_ACCESS_DENIED), 2,
         "service_unreadable",
         "CANNOT   1 service(s) cannot be read, so kq5 may be among them; the first: KorvaneKeeper "
         "(0x5: access denied)\n         fix: run kq5doctor from an elevated console; sc qc "
         "\"KorvaneKeeper\" shows its program\nkq5doctor could not look at everything",
         "\"unreadable\":[\"KorvaneKeeper\"],\"unreadable_error\":5,\"installed\":false"},
        {"kq5's settings refused", Fail("QueryServiceConfigW", 3, ERROR_ACCESS_DENIED), 2,
         "service_unreadable",
         "CANNOT   1 service(s) cannot be read, so kq5 may be among them; the first: KorvaneKeeper "
         "(0x5: access denied)",
         "\"unreadable\":[\"KorvaneKeeper\"],\"unreadable_error\":5,\"installed\":false"},
        {"the list of services refused", Fail("EnumServicesStatusExW", 1, ERROR_ACCESS_DENIED), 2,
         "service_list_unreadable",
         "CANNOT   the list of services cannot be read to its end (0x5: access denied): kq5 may "
         "be among those not seen",
         "\"list_error\":5,\"unreadable\":[],\"unreadable_error\":0,\"installed\":false"},
        {"kq5 runs under another account",
         Kq5([](auto& c) { c.account = "NT AUTHORITY\\LocalService"; }), 0, "",
         "ok       kq5 (service \"KorvaneKeeper\"): runs as NT AUTHORITY\\LocalService\n",
         "\"account\":\"NT AUTHORITY\\\\LocalService\""},
        // The recovery actions and required privileges as the service manager holds them: every
        // action in order with its delay, every privilege of the list, nothing more.
        {"three recovery actions, three privileges",
         Kq5Holding(
             {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_REBOOT, 0}},
             {"SeChangeNotifyPrivilege", "SeCreateGlobalPrivilege", "SeImpersonatePrivilege"}),
         0, "",
         "ok       kq5 (service \"KorvaneKeeper\"): recovery actions: restart after 5000 ms, "
         "restart after 60000 ms, reboot after 0 ms\n"
         "ok       kq5 (service \"KorvaneKeeper\"): required privileges: SeChangeNotifyPrivilege, "
         "SeCreateGlobalPrivilege, SeImpersonatePrivilege\n",
         "\"recovery\":[{\"action\":\"restart\",\"delay_ms\":5000},{\"action\":\"restart\","
         "\"delay_ms\":60000},{\"action\":\"reboot\",\"delay_ms\":0}],\"recovery_error\":0,"
         "\"required_privileges\":[\"SeChangeNotifyPrivilege\",\"SeCreateGlobalPrivilege\","
         "\"SeImpersonatePrivilege\"],\"privileges_error\":0"},
        {"a command to run on failure, one privilege",
         Kq5Holding({{SC_ACTION_RUN_COMMAND, 1000}}, {"SeAuditPrivilege"}), 0, "",
         "ok       kq5 (service \"KorvaneKeeper\"): recovery actions: run_command after 1000 ms\n"
         "ok       kq5 (service \"KorvaneKeeper\"): required privileges: SeAuditPrivilege\n",
         "\"recovery\":[{\"action\":\"run_command\",\"delay_ms\":1000}],\"recovery_error\":0,"
         "\"required_privileges\":[\"SeAuditPrivilege\"],"},
        {"no recovery actions, no privileges", Kq5Holding({}, {}), 0, "",
         "ok       kq5 (service \"KorvaneKeeper\"): recovery actions: none\n"
         "ok       kq5 (service \"KorvaneKeeper\"): required privileges: not restricted\n",
         "\"recovery\":[],\"recovery_error\":0,\"required_privileges\":[],"},
        // Another administrator changes the recovery actions between the size query and the read.
        {"recovery actions grown between their size and their read",
         Fail("QueryServiceConfig2W", 2, ERROR_INSUFFICIENT_BUFFER), 2, "kq5_recovery_unknown",
         "its recovery actions cannot be read (0x7a: buffer too small)",
         "\"recovery\":null,\"recovery_error\":122"},
        // An update replacing the program holds it.
        {"the program's version size refused",
         Fail("GetFileVersionInfoSizeW", 1, ERROR_SHARING_VIOLATION), 2, "kq5_version_unknown",
         "the version of C:\\Program Files\\kq5\\kq5svc.exe cannot be read (0x20: in use by "
         "another program)",
         "\"version\":null,\"version_error\":32"},
        {"a version resource without its fixed part",
         Kq5At("\"C:\\new\\kq5svc.exe\"", "C:\\new\\kq5svc.exe", "1.0.0.0", false), 2,
         "kq5_version_unknown",
         "the version of C:\\new\\kq5svc.exe cannot be read (0xd: the record is not valid)",
         "\"version\":null,\"version_error\":13"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [code, text] = DoctorOn(c.breakIt);
        EXPECT_EQ(code, c.exit) << text;
        EXPECT_TRUE(Has(text, c.line));
        EXPECT_TRUE(text.ends_with(kClosing[c.exit])) << text;
        // Injected failures are used up by the first run: inject them again for the JSON run.
        const auto [jsonCode, json] = DoctorOn(c.breakIt, {"--json"});
        EXPECT_EQ(jsonCode, c.exit);
        EXPECT_TRUE(json.starts_with("{\"exit\":" + std::to_string(c.exit) + ",")) << json;
        EXPECT_TRUE(Has(json, c.json));
        if (Has(json, "\"installed\":false")) {  // nothing of a service not found
            EXPECT_FALSE(Has(text, "kq5 (service"));
        }
        const std::string problems = json.substr(0, json.find(']'));
        if (c.problem.empty()) {
            EXPECT_TRUE(problems.ends_with("\"problems\":[")) << json;
        } else {
            EXPECT_TRUE(Has(problems, "\"" + c.problem + "\""));
        }
        // The doctor's lookups write no debugger line and leave no handle open.
        EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{});
        EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{});
    }
}

TEST_F(DoctorTest, OptionsAndUsage) {
    for (const char* help : {"--help", "-h", "/?"}) {
        const Outcome run = Doctor({help});
        EXPECT_TRUE(run.out.starts_with("usage: kq5doctor [--json]\n")) << help;
        EXPECT_EQ(run.code, 0) << help;
    }
    const Outcome version = Doctor({"--version"});
    EXPECT_EQ(version.out, "kq5doctor " KQ5_VERSION "\n");
    EXPECT_EQ(version.code, 0);
    // A wrong word is named on standard error, with the usage; standard output stays empty, so
    // that a script reading --json gets no text that is not JSON.
    const std::pair<std::vector<std::string>, std::string> wrong[] = {
        {{"--jsno"}, "kq5doctor: unknown option --jsno\n"},
        {{"--json", "--bogus"}, "kq5doctor: unknown option --bogus\n"},
        {{"--json", "--json"}, "kq5doctor: --json given twice\n"},
        {{"--json", "report.json"}, "kq5doctor: unexpected word 'report.json'"}};
    for (const auto& [args, said] : wrong) {
        std::string errors;
        const Outcome run = Doctor(args, &errors);
        EXPECT_EQ(run.out, "") << said;
        EXPECT_EQ(run.code, 2) << said;
        EXPECT_TRUE(errors.starts_with(said)) << errors;
        EXPECT_TRUE(Has(errors, "usage: kq5doctor [--json]\n"));
    }
    EXPECT_EQ(sim::Calls(), std::vector<std::string>{});  // nothing looked at
}

TEST_F(DoctorTest, ThousandsOfUsbDevices) {
    WellMachine();
    for (int i = 0; i < 2000; ++i) {
        sim::PlugDevice(PrinterPath("D" + std::to_string(i),
                                    i % 2 ? "vid_0483&pid_5741" : "vid_1111&pid_2222"));
    }
    const auto [code, json] = Doctor({"--json"});
    EXPECT_EQ(code, 0);
    size_t listed = 0;
    for (size_t at = json.find("\"identity\""); at != std::string::npos;
         at = json.find("\"identity\"", at + 1)) {
        ++listed;
    }
    EXPECT_EQ(listed, 1001u);  // the printer and the 1000 devices with both digit groups
}

// A machine with many services: the list takes several calls, each resuming where the last
// stopped, and kq5 is on a later page. Windows pages so (Wine's advapi32 test_enum_svc: a buffer
// too small gives ERROR_MORE_DATA, fewer services and a resume handle; the next call with it gives
// exactly the missing ones, and the handle back at 0), and so does the simulated service manager.
TEST_F(DoctorTest, Kq5FoundOnALaterPageOfTheServiceList) {
    // Long names (a service name may have 256 characters) fill a page with fewer services.
    for (int i = 1000; i < 1130; ++i) {
        sim::InstallService("FillerService" + std::string(238, 'x') + std::to_string(i), {});
    }
    WellMachine();  // KorvaneKeeper after every filler
    const auto [code, text] = Doctor({});
    EXPECT_TRUE(Has(text, "ok       kq5 (service \"KorvaneKeeper\"): running"));
    EXPECT_EQ(code, 0);
    EXPECT_GE(sim::CallsOf({"EnumServicesStatusExW"}).size(), 3u);  // it did take pages
}

// Memory running out at any one of the doctor's buffers gives a report, never a crash, and the
// service's lookups that could not be made say why: out of memory.
TEST_F(DoctorTest, MemoryRunningOutAtEachBuffer) {
    std::string all;
    for (int nth = 1; nth < 100; ++nth) {
        const auto [code, text] = DoctorOn([nth] { nothrowAllocationsBeforeFailure = nth; });
        const bool failed = nothrowAllocationsBeforeFailure.load() == 0;
        nothrowAllocationsBeforeFailure = 0;
        if (!failed) {
            break;  // every buffer has had its turn
        }
        EXPECT_NE(code, -1);
        EXPECT_EQ(text.back(), '\n') << nth;  // the whole report, to its last line
        all += text;
    }
    const std::string kq5 = "CANNOT   kq5 (service \"KorvaneKeeper\"): ";
    EXPECT_TRUE(
        Has(all, "CANNOT   the list of services cannot be read to its end (0x8: out of memory)"));
    EXPECT_TRUE(Has(all, kq5 + "its recovery actions cannot be read (0x8: out of memory)"));
    EXPECT_TRUE(Has(all, kq5 + "its required privileges cannot be read (0x8: out of memory)"));
    EXPECT_TRUE(Has(all, kq5 + "the version of C:\\Program Files\\kq5\\kq5svc.exe cannot be read "
                               "(0x8: out of memory)"));
}

// Two Korvane Q5 printers plugged in: the service takes the first that the system lists (it ends
// its search there), so the doctor reports that one, its port and its device, and opens no other.
TEST_F(DoctorTest, OfTwoPrintersTheFirstListedIsThePrinter) {
    WellMachine();
    sim::AddPort(u"USB006");
    sim::SetRegistryString(PortKey("USB006"), "Device Id", "usb\\vid_0483&pid_5741\\B2C3D4");
    PlugPrinter("B2C3D4");
    const auto [code, json] = Doctor({"--json"});
    EXPECT_TRUE(Has(
        json,
        R"("printer":{"found":true,)"
        R"("path":"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",)"
        R"("port":"USB005","device":"opened")"));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(sim::CallsOf({"CreateFileW"}).size(), 1u);
}

// The program a command line starts, as Windows reads it: the quoted part, or the text up to the
// end of kq5svc.exe in any letter case; its version read from that file.
TEST_F(DoctorTest, TheProgramOfTheCommandLine) {
    // The command line, and its program as JSON writes it.
    const std::pair<std::string, std::string> cases[] = {
        {"\"C:\\Program Files\\kq5 2\\kq5svc.exe\" -service",
         "C:\\\\Program Files\\\\kq5 2\\\\kq5svc.exe"},
        {"C:\\kq5\\kq5svc.exe -service", "C:\\\\kq5\\\\kq5svc.exe"},
        {"C:\\KQ5\\KQ5SVC.EXE -service", "C:\\\\KQ5\\\\KQ5SVC.EXE"},
        {"C:\\Zq5\\Kq5Svc.Exe", "C:\\\\Zq5\\\\Kq5Svc.Exe"},
        {"\"C:\\kq5\\kq5svc.exe", "C:\\\\kq5\\\\kq5svc.exe"},  // the closing quote missing
        {"\"\" C:\\kq5\\kq5svc.exe", ""},  // an empty quoted program: Windows starts nothing
    };
    for (const auto& [commandLine, program] : cases) {
        SCOPED_TRACE(commandLine);
        std::string file;  // the program's path as the file system has it
        for (size_t at = 0; at < program.size(); ++at) {
            file += program[at];
            at += program[at] == '\\' ? 1 : 0;
        }
        const std::string version = file.empty() ? "null,\"version_error\":2" : "\"1.2.3.4\"";
        EXPECT_TRUE(Has(DoctorOn(Kq5At(commandLine, file, "1.2.3.4"), {"--json"}).out,
                        "\"program\":\"" + program + "\",\"version\":" + version));
    }
}

// Two services run kq5svc.exe (an old copy left installed under another name): the first in the
// service manager's list is reported, with its own name, state and settings only.
TEST_F(DoctorTest, TheFirstOfTwoKq5ServicesIsReported) {
    WellMachine();
    sim::ServiceConfig old = Kq5Config("\"C:\\old\\kq5svc.exe\"");
    old.failureActions = {{SC_ACTION_NONE, 0}};
    old.requiredPrivileges = {"SeAuditPrivilege"};
    sim::InstallService("Kq5Old", old, SERVICE_STOPPED);
    const auto [code, json] = Doctor({"--json"});
    EXPECT_EQ(code, 0) << json;
    EXPECT_TRUE(Has(json, "\"name\":\"KorvaneKeeper\",\"state\":\"running\""));
    EXPECT_TRUE(Has(json, "\"recovery\":[{\"action\":\"restart\",\"delay_ms\":60000}],"));
    EXPECT_TRUE(Has(json, "\"required_privileges\":[\"SeChangeNotifyPrivilege\"],"));
}

// A service manager whose list does not end (each page says more is to come): the doctor reads
// 64 pages of 64 KiB, 4 MiB of services, far more than any machine has, and then says it could
// not read the list to its end instead of saying kq5 is not installed.
TEST_F(DoctorTest, AServiceListThatDoesNotEnd) {
    WellMachine();
    sim::FailCall("EnumServicesStatusExW", 1, ERROR_MORE_DATA, sim::kEveryLaterCall);
    const auto [code, text] = Doctor({});
    EXPECT_TRUE(Has(text,
                    "CANNOT   the list of services cannot be read to its end "
                    "(0xea: more data is available)"));
    EXPECT_EQ(code, 2);
    const std::vector<std::string> pages = sim::CallsOf({"EnumServicesStatusExW"});
    EXPECT_EQ(pages.size(), 64u);
    EXPECT_EQ(Count(pages, "EnumServicesStatusExW(scmanager#1, 0, 0x30, 0x3, 65536)"), 64);
}

// The report's text: names from the system in UTF-16 written as UTF-8, a surrogate pair as the
// one character it encodes and a surrogate without its partner as U+FFFD (never bytes a JSON
// reader refuses); JSON strings with quotes, backslashes and control characters escaped and
// every other byte, UTF-8 ones too, as it is.
TEST(DoctorTextTest, Utf16AsUtf8AndJsonStrings) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"Korvane-Q5", "Korvane-Q5"},
        {u"\u00e9\u20ac\ud7ff\ue000", "\xc3\xa9\xe2\x82\xac\xed\x9f\xbf\xee\x80\x80"},
        {u"\xd83d\xde00", "\xf0\x9f\x98\x80"},
        {u"a\xd800\xdc00", "a\xf0\x90\x80\x80"},  // the first pair, at the end of the text
        {u"\xdbff\xdfff", "\xf4\x8f\xbf\xbf"},    // the last
        {u"\xd800", "\xef\xbf\xbd"},              // a high surrogate at the end
        {u"\xdbffx", "\xef\xbf\xbdx"},            // followed by no low one
        {u"\xd800\xe000", "\xef\xbf\xbd\xee\x80\x80"},
        {u"\xd800\xd800\xdc00", "\xef\xbf\xbd\xf0\x90\x80\x80"},
        {u"\xdc00\xdfffz", "\xef\xbf\xbd\xef\xbf\xbdz"},  // low surrogates alone
    };
    for (const auto& [text, utf8] : cases) {
        EXPECT_EQ(Utf8(WideString(text.begin(), text.end())), utf8) << utf8;
    }
    EXPECT_EQ(JsonString("say \"hi\" \\ C:\\x"), R"("say \"hi\" \\ C:\\x")");
    EXPECT_EQ(JsonString(std::string("\x01\n\x1f \x7f", 5)), R"("\u0001\u000a\u001f )"
                                                             "\x7f\"");
    EXPECT_EQ(JsonString("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
    EXPECT_EQ(JsonString(""), "\"\"");
}

// The report of the machine where all is well, whole: every line in its order, then the closing
// sentence; and the whole JSON object.
TEST_F(DoctorTest, TheAllWellReportWhole) {
    WellMachine();
    SilenceDebugOutput(false);
    const Outcome text = Doctor({});
    EXPECT_EQ(
        text.out,
        "ok       queue Korvane-Q5 exists, prints to port USB005\n"
        "ok       queue status: no status bits\n"
        "ok       Spooler service: running\n"
        "ok       USB device "
        "\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}: the printer "
        "(port description KorvaneQ5)\n"
        "ok       Windows gave the printer port USB005\n"
        "ok       the printer's device opens\n"
        "ok       the queue prints to USB005, the printer's port\n"
        "ok       kq5 (service \"KorvaneKeeper\"): running, kq5svc.exe version 1.0.0.0\n"
        "ok       kq5 (service \"KorvaneKeeper\"): starts automatically\n"
        "ok       kq5 (service \"KorvaneKeeper\"): runs as LocalSystem\n"
        "ok       kq5 (service \"KorvaneKeeper\"): path \"C:\\Program Files\\kq5\\kq5svc.exe\" is "
        "quoted\n"
        "ok       kq5 (service \"KorvaneKeeper\"): recovery actions: restart after 60000 ms\n"
        "ok       kq5 (service \"KorvaneKeeper\"): required privileges: SeChangeNotifyPrivilege\n"
        "Nothing wrong found.\n");
    EXPECT_EQ(text.code, 0);
    // The doctor keeps its lookups' debugger lines to itself and leaves the program's debugger
    // output as it found it: on (above) or off.
    EXPECT_FALSE(DebugOutputSilenced());
    SilenceDebugOutput(true);
    const Outcome json = Doctor({"--json"});
    EXPECT_TRUE(DebugOutputSilenced());
    SilenceDebugOutput(false);
    EXPECT_EQ(
        json.out,
        R"({"exit":0,"problems":[],"queue":{"found":true,"open_error":0,"read":true,)"
        R"("port":"USB005","paused":false,"status":0,"status_words":[]},)"
        R"("spooler":{"state":"running","error":0},"devices_listed":true,)"
        R"("device_list_error":0,"devices":[{)"
        R"("path":"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",)"
        R"("identity":"printer","description":"KorvaneQ5"}],"printer":{"found":true,)"
        R"("path":"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",)"
        R"("port":"USB005","device":"opened","device_error":0},"port_match":true,)"
        R"("service":{"manager_error":0,"list_error":0,"unreadable":[],"unreadable_error":0,)"
        R"("installed":true,"name":"KorvaneKeeper","state":"running",)"
        R"("start_type":"automatic","account":"LocalSystem",)"
        R"("path":"\"C:\\Program Files\\kq5\\kq5svc.exe\"","path_quoted":true,)"
        R"("recovery":[{"action":"restart","delay_ms":60000}],"recovery_error":0,)"
        R"("required_privileges":["SeChangeNotifyPrivilege"],"privileges_error":0,)"
        R"("program":"C:\\Program Files\\kq5\\kq5svc.exe","version":"1.0.0.0",)"
        R"("version_error":0}})"
        "\n");
    EXPECT_EQ(json.code, 0);
    // The doctor's lookups write no debugger line and leave no handle open.
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{});
    EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{});
}

// The facts of the machine where all is well, for a test to change one at a time.
Facts WellFacts() {
    sim::Reset();
    WellMachine();
    return GatherFacts();
}

std::string Report(const Facts& facts) {
    return RenderText(Judge(facts));
}

std::string Json(const Facts& facts) {
    return RenderJson(facts, Judge(facts));
}

// Every Win32 error the doctor's lookups can meet is named in words after its number, so that an
// administrator need not look it up; any other is given as its number alone.
TEST_F(DoctorTest, Win32ErrorsInWords) {
    const std::pair<DWORD, std::string> cases[] = {
        {ERROR_FILE_NOT_FOUND, "0x2: not found"},
        {ERROR_PATH_NOT_FOUND, "0x3: path not found"},
        {ERROR_ACCESS_DENIED, "0x5: access denied"},
        {ERROR_NOT_ENOUGH_MEMORY, "0x8: out of memory"},
        {ERROR_INVALID_DATA, "0xd: the record is not valid"},
        {ERROR_SHARING_VIOLATION, "0x20: in use by another program"},
        {ERROR_INSUFFICIENT_BUFFER, "0x7a: buffer too small"},
        {ERROR_INVALID_LEVEL, "0x7c: this system cannot answer this query"},
        {ERROR_PIPE_BUSY, "0xe7: in use by another program"},
        {ERROR_MORE_DATA, "0xea: more data is available"},
        {ERROR_SERVICE_DOES_NOT_EXIST, "0x424: no such service"},
        {ERROR_DEVICE_NOT_CONNECTED, "0x48f: the device is not connected"},
        {1812, "0x714: no version resource"},  // ERROR_RESOURCE_DATA_NOT_FOUND
        {RPC_S_SERVER_UNAVAILABLE, "0x6ba: the Spooler is not running"},
        {ERROR_INVALID_PRINTER_NAME, "0x709: no such queue"},
        {1, "0x1"},
        {ERROR_INVALID_PARAMETER, "0x57"},
        {1813, "0x715"},
    };
    Facts facts = WellFacts();
    facts.printer.open = DeviceOpen::Failed;
    for (const auto& [error, said] : cases) {
        facts.printer.openError = error;
        EXPECT_TRUE(
            Has(Report(facts), "PROBLEM  the printer's device cannot be opened (" + said + ")\n"));
    }
}

// The queue's status word in words, bit by bit in the order of winspool.h, and bits no version
// of winspool.h names as one hexadecimal number; "paused" in the JSON is the pause bit.
TEST_F(DoctorTest, QueueStatusBitsInWords) {
    // No bits at all ("no status bits") is the all-well report's.
    const std::pair<DWORD, std::string> cases[] = {
        {PRINTER_STATUS_PAUSED, "paused"},
        {PRINTER_STATUS_OFFLINE, "offline"},
        {0x400000 | 0x2, "error, door open"},
        {0x1FFFFFF,
         "paused, error, pending deletion, paper jam, paper out, manual feed, paper problem, "
         "offline, I/O active, busy, printing, output bin full, not available, waiting, "
         "processing, initializing, warming up, toner low, no toner, page punt, user "
         "intervention, out of memory, door open, server unknown, power save"},
        {0x2000080, "offline, unknown bits 0x2000000"},
        {0xFE000000, "unknown bits 0xfe000000"},
    };
    for (const auto& [status, words] : cases) {
        SCOPED_TRACE(status);
        Facts facts = WellFacts();
        facts.queue.status = status;
        std::string json = "\"" + words + "\"";
        for (size_t at = json.find(", "); at != std::string::npos; at = json.find(", ", at)) {
            json.replace(at, 2, "\",\"");
        }
        const std::string paused = (status & 1) != 0 ? "true" : "false";
        EXPECT_TRUE(Has(Report(facts), "ok       queue status: " + words + "\n"));
        EXPECT_TRUE(Has(Json(facts), "\"paused\":" + paused +
                                         ",\"status\":" + std::to_string(status) +
                                         ",\"status_words\":[" + json + "]}"));
    }
}

// The names the report gives the states of services, start types, what the doctor decided about
// each USB device, whether the printer's device opened, and the recovery actions: in the text
// and in the JSON, "unknown" for a value Windows may add later.
TEST_F(DoctorTest, NamesOfStatesStartTypesDevicesAndActions) {
    const std::string kq5 = "kq5 (service \"KorvaneKeeper\"): ";
    const std::pair<DWORD, std::string> states[] = {{SERVICE_STOPPED, "stopped"},
                                                    {SERVICE_START_PENDING, "starting"},
                                                    {SERVICE_STOP_PENDING, "stopping"},
                                                    {SERVICE_CONTINUE_PENDING, "continuing"},
                                                    {SERVICE_PAUSE_PENDING, "pausing"},
                                                    {SERVICE_PAUSED, "paused"},
                                                    {0, "unknown"},
                                                    {8, "unknown"}};
    for (const auto& [state, name] : states) {
        Facts facts = WellFacts();
        facts.service.state = state;
        facts.spooler.state = state;
        const std::string text = Report(facts);
        EXPECT_TRUE(Has(text, "PROBLEM  Spooler service: " + name + "\n"));
        EXPECT_TRUE(Has(text, "PROBLEM  " + kq5 + name + ", kq5svc.exe version 1.0.0.0\n"));
        const std::string json = Json(facts);
        EXPECT_TRUE(Has(json, "\"spooler\":{\"state\":\"" + name + "\""));
        EXPECT_TRUE(Has(json, "\"name\":\"KorvaneKeeper\",\"state\":\"" + name + "\""));
    }
    const std::pair<DWORD, std::string> starts[] = {{SERVICE_BOOT_START, "boot"},
                                                    {SERVICE_SYSTEM_START, "system"},
                                                    {SERVICE_DEMAND_START, "manual"},
                                                    {SERVICE_DISABLED, "disabled"},
                                                    {5, "unknown"}};
    for (const auto& [type, name] : starts) {
        Facts facts = WellFacts();
        facts.service.startType = type;
        EXPECT_TRUE(Has(Report(facts), "PROBLEM  " + kq5 + "start type " + name +
                                           ", it will not run after a restart\n"));
        EXPECT_TRUE(Has(Json(facts), "\"start_type\":\"" + name + "\""));
    }

    Facts facts = WellFacts();
    // What the doctor decided, in words and in the JSON.
    const std::tuple<Identity, std::string, std::string> devices[] = {
        {Identity::NoInterfaceKey, "not the printer: its path names no registry key",
         "path_without_key"},
        {Identity::DescriptionMissing, "not the printer: port description missing",
         "description_missing"},
        {Identity::DescriptionTooLong,
         "not the printer: port description too long (over 200 bytes)", "description_too_long"},
        {Identity::DescriptionUnreadable, "not the printer: port description cannot be read",
         "description_unreadable"},
    };
    for (const auto& [identity, words, name] : devices) {
        facts.printer.devices.push_back(DeviceFacts{"\\\\?\\usb#" + name, identity, ""});
    }
    facts.printer.open = DeviceOpen::Failed;
    facts.service.recovery = {{0, 0}, {1, 1000}, {2, 2000}, {3, 3000}, {4, 4000}};
    const std::string text = Report(facts);
    const std::string json = Json(facts);
    for (const auto& [identity, words, name] : devices) {
        EXPECT_TRUE(Has(text, "ok       USB device \\\\?\\usb#" + name + ": " + words + "\n"));
        EXPECT_TRUE(Has(json, "\"identity\":\"" + name + "\""));
    }
    EXPECT_TRUE(Has(text, kq5 +
                              "recovery actions: none after 0 ms, restart after 1000 ms, reboot "
                              "after 2000 ms, run_command after 3000 ms, unknown after 4000 ms\n"));
    EXPECT_TRUE(Has(
        json, R"("recovery":[{"action":"none","delay_ms":0},)"
              R"({"action":"restart","delay_ms":1000},{"action":"reboot","delay_ms":2000},)"
              R"({"action":"run_command","delay_ms":3000},{"action":"unknown","delay_ms":4000}])"));
    EXPECT_TRUE(Has(json, "\"device\":\"failed\""));
    facts.printer.open = DeviceOpen::Held;
    EXPECT_TRUE(Has(Json(facts), "\"device\":\"held\""));
    facts.printer.open = DeviceOpen::NotTried;
    EXPECT_TRUE(Has(Json(facts), "\"device\":\"not_tried\""));
}

// An unquoted path with a space lets Windows start another program ("C:\Program.exe"): only a
// path whose program is in quotes is quoted, a quoted argument after it does not count.
TEST_F(DoctorTest, TheServicesPathQuotedOrNot) {
    const std::string kq5 = "kq5 (service \"KorvaneKeeper\"): path ";
    // The service's command line, its line in the report, whether it is quoted.
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"\"C:\\Program Files\\kq5\\kq5svc.exe\" -service",
         "ok       " + kq5 + "\"C:\\Program Files\\kq5\\kq5svc.exe\" -service is quoted\n", true},
        {"C:\\kq5\\kq5svc.exe",
         "ok       " + kq5 + "C:\\kq5\\kq5svc.exe is not quoted but holds no space\n", false},
        {"C:\\Program Files\\kq5\\kq5svc.exe",
         "PROBLEM  " + kq5 +
             "C:\\Program Files\\kq5\\kq5svc.exe is not quoted and holds a space: Windows may "
             "start another program\n         fix: sc config KorvaneKeeper binPath= "
             "\"\\\"C:\\Program Files\\kq5\\kq5svc.exe\\\"\"\n",
         false},
        {"C:\\Program Files\\kq5\\kq5svc.exe -name \"a b\"",
         "PROBLEM  " + kq5 + "C:\\Program Files\\kq5\\kq5svc.exe -name \"a b\" is not quoted",
         false},
    };
    for (const auto& [path, line, quoted] : cases) {
        Facts facts = WellFacts();
        facts.service.path = path;
        EXPECT_TRUE(Has(Report(facts), line));
        EXPECT_TRUE(
            Has(Json(facts), std::string("\"path_quoted\":") + (quoted ? "true" : "false")));
    }
    // What the service manager may hold besides: a quoted empty program, a lone quote.
    EXPECT_TRUE(PathQuoted("\"\""));
    EXPECT_TRUE(PathQuoted("\"a\""));
    EXPECT_FALSE(PathQuoted("\""));
    EXPECT_FALSE(PathQuoted(""));
    EXPECT_FALSE(PathQuoted("a \"b\""));
}

// The queue's port is compared with the printer's as Windows compares port names: letters
// without regard to case, every other character exactly; when either port is unknown there is
// nothing to compare, and port_match is null.
TEST_F(DoctorTest, TheQueuesPortAgainstThePrinters) {
    const struct {
        std::string queue;
        std::string printer;
        std::string match;
        bool queueRead = true;
        int printerIndex = 0;  // -1: the printer absent
    } cases[] = {
        // (the same port on both sides is the all-well report's)
        {"abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "true"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz", "true"},
        {"@[", "`{", "false"},  // the characters beside the letters do not fold
        {"USB006", "USB005", "false"},
        {"VSB005", "USB005", "false"},
        {"USB0005", "USB005", "false"},
        {"USB005", "", "null"},            // the printer has no port
        {"", "USB005", "null", false},     // the queue's settings unreadable
        {"USB005", "", "null", true, -1},  // the printer absent
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.queue + " " + c.printer);
        Facts facts = WellFacts();
        facts.queue.port = c.queue;
        facts.queue.read = c.queueRead;
        facts.printer.port = c.printer;
        facts.printer.printer = c.printerIndex;
        const std::string same =
            "ok       the queue prints to " + c.printer + ", the printer's port\n";
        const std::string other = "PROBLEM  the queue prints to " + c.queue +
                                  " but the printer is on " + c.printer + "\n";
        if (c.match == "null") {
            EXPECT_FALSE(Has(Report(facts), "the queue prints to"));
        } else {
            EXPECT_TRUE(Has(Report(facts), c.match == "true" ? same : other));
        }
        EXPECT_TRUE(Has(Json(facts), "\"port_match\":" + c.match));
    }
}

// kq5 is the service whose program is kq5svc.exe, in any letter case: the name whole, at the start
// of the command line or after a folder's separator or the opening quote, and ending the program.
TEST(DoctorPathTest, Kq5ByItsExecutable) {
    for (const char* path :
         {"\"C:\\Program Files\\kq5\\kq5svc.exe\"", "C:\\KQ5SVC.EXE", "C:\\kq5\\Kq5Svc.Exe -arg",
          "C:/kq5/kq5svc.exe", "kq5svc.exe", "kq5svc.exe -service", "\"kq5svc.exe\" -service"}) {
        EXPECT_TRUE(IsKq5Path(path)) << path;
    }
    for (const char* path :
         {"C:\\old\\xkq5svc.exe", "xkq5svc.exe", "\"x kq5svc.exe\"", "C:\\kq5svc.exe.bak",
          "C:\\kq5svc.exe2 -x", "C:\\kq5\\kq5svc.ex", ""}) {
        EXPECT_FALSE(IsKq5Path(path)) << path;
    }
}

}  // namespace
