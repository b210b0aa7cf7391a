// The verdicts on the facts, in the order the report gives them: the queue, the Spooler, the
// printer, the ports, kq5's service.
#include "doctor/judge.h"

#include "common/text.h"
#include "doctor/words.h"

namespace {

constexpr DWORD kNoSuchQueue = ERROR_INVALID_PRINTER_NAME;
constexpr DWORD kRpcUnavailable = RPC_S_SERVER_UNAVAILABLE;  // the spooler is not there

// The package's file, as the release names it (cmake/kq5-package.cmake).
constexpr const char* kPackage = "kq5-" KQ5_VERSION "-x64.msi";

std::string IdentityWords(const DeviceFacts& device) {
    switch (device.identity) {
        case Identity::Printer:
            return "the printer (port description KorvaneQ5)";
        case Identity::NoInterfaceKey:
            return "not the printer: its path names no registry key";
        case Identity::DescriptionMissing:
            return "not the printer: port description missing";
        case Identity::DescriptionTooLong:
            return "not the printer: port description too long (over 200 bytes)";
        case Identity::DescriptionUnreadable:
            return "not the printer: port description cannot be read";
        case Identity::DescriptionDifferent:
            return "not the printer: port description \"" + device.description +
                   "\" is not KorvaneQ5";
    }
    return "unknown";
}

bool HasSpace(const std::string& text) {
    return text.find(' ') != std::string::npos;
}

// The sc line that registers COMMANDLINE with its program, up to kq5svc.exe, quoted: the quotes
// inside the value are written \" for sc.
std::string BinPathFix(const std::string& service, const std::string& commandLine) {
    const size_t start = commandLine.find_first_not_of(' ');
    const std::string line = start == std::string::npos ? "" : commandLine.substr(start);
    const size_t at = LowerAscii(line).find("kq5svc.exe");
    const size_t end = at == std::string::npos ? line.size() : at + 10;
    std::string value = "\\\"" + line.substr(0, end) + "\\\"";
    for (const char c : line.substr(end)) {
        value += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return "sc config " + service + " binPath= \"" + value + "\"";
}

struct Report {
    std::vector<Finding> findings;
    void Ok(const std::string& key, const std::string& text) {
        findings.push_back(Finding{key, Verdict::Ok, text, ""});
    }
    void Problem(const std::string& key, const std::string& text, const std::string& fix) {
        findings.push_back(Finding{key, Verdict::Problem, text, fix});
    }
    void CannotLook(const std::string& key, const std::string& text, const std::string& fix) {
        findings.push_back(Finding{key, Verdict::CannotLook, text, fix});
    }
};

const PrinterFacts* PresentPrinter(const Facts& facts) {
    return facts.printer.printer >= 0 ? &facts.printer : nullptr;
}

// kq5 not found where it may be: the service manager, the list or a service could not be read.
bool Kq5Unseen(const ServiceFacts& service) {
    return !service.installed &&
           (!service.managerOpened || service.listError != 0 || !service.unreadable.empty());
}

bool Kq5Running(const Facts& facts) {
    return facts.service.installed && facts.service.state == SERVICE_RUNNING;
}

// The queue of a near name to rename: the first on the printer's port, else the first.
const NearQueue* QueueToRename(const Facts& facts) {
    const std::vector<NearQueue>& queues = facts.queue.nearNames;
    for (const NearQueue& queue : queues) {
        if (!facts.printer.port.empty() && EqualsFoldingAscii(queue.port, facts.printer.port)) {
            return &queue;
        }
    }
    return queues.empty() ? nullptr : &queues.front();
}

// No queue Korvane-Q5 but one of a near name: renamed, it is kq5's queue; a second queue added
// beside it would print to the same port.
void JudgeMisnamed(const Facts& facts, const NearQueue& queue, Report& report) {
    const bool printers =
        !facts.printer.port.empty() && EqualsFoldingAscii(queue.port, facts.printer.port);
    report.Problem("queue_misnamed",
                   "queue Korvane-Q5 does not exist, but queue \"" + queue.name + "\" prints to " +
                       queue.port + (printers ? ", the printer's port" : ""),
                   "rename that queue Korvane-Q5 (adding another would make two queues on one "
                   "port): PowerShell Rename-Printer -Name \"" +
                       queue.name +
                       "\" -NewName \"Korvane-Q5\"; or rundll32 printui.dll,PrintUIEntry /Xs /n "
                       "\"" +
                       queue.name + "\" PrinterName \"Korvane-Q5\"");
}

void JudgeQueue(const Facts& facts, Report& report) {
    const QueueFacts& queue = facts.queue;
    if (!queue.opened) {
        const std::string why = ErrorWords(queue.openError);
        if (queue.openError == kNoSuchQueue && QueueToRename(facts) != nullptr) {
            JudgeMisnamed(facts, *QueueToRename(facts), report);
        } else if (queue.openError == kNoSuchQueue) {
            report.Problem("queue_missing", "queue Korvane-Q5 does not exist (" + why + ")",
                           "add a printer named exactly Korvane-Q5 on the printer's USB port");
        } else if (queue.openError == ERROR_ACCESS_DENIED) {
            report.CannotLook("queue_access_denied",
                              "queue Korvane-Q5 cannot be opened (" + why + ")",
                              "run kq5doctor from an elevated console (Run as administrator)");
        } else if (queue.openError == kRpcUnavailable) {
            report.Problem("queue_spooler_down", "queue Korvane-Q5 cannot be opened (" + why + ")",
                           "start the Spooler: net start Spooler");
        } else {
            report.Problem("queue_open_failed", "queue Korvane-Q5 cannot be opened (" + why + ")",
                           "check the Spooler and the queue in Devices and Printers");
        }
        return;
    }
    if (!queue.read) {
        report.Problem("queue_unreadable", "queue Korvane-Q5 opens but its settings cannot be read",
                       "restart the Spooler: net stop Spooler && net start Spooler");
        return;
    }
    report.Ok("queue", "queue Korvane-Q5 exists, prints to port " +
                           (queue.port.empty() ? std::string("(none)") : queue.port));
    const std::vector<std::string> words = StatusWords(queue.status);
    const bool paused = (queue.status & PRINTER_STATUS_PAUSED) != 0;
    if (paused && PresentPrinter(facts) != nullptr) {
        report.Problem("queue_paused",
                       "queue Korvane-Q5 is paused though the printer is plugged in",
                       "resume it (printer queue window: Printer > Pause Printing), or unplug "
                       "and plug in the printer while kq5 runs");
    } else if (paused && !facts.printer.listed) {
        report.CannotLook("queue_paused_unexplained",
                          "queue Korvane-Q5 is paused, and whether the printer is plugged in (kq5 "
                          "pauses it while it is not) cannot be told",
                          "run kq5doctor again; if the printer is plugged in, resume the queue");
    } else if (paused) {
        report.Ok("queue_paused",
                  "queue Korvane-Q5 is paused: kq5 does so while the printer is "
                  "unplugged, and resumes it when the printer is back");
    }
    report.Ok("queue_status", "queue status: " + (words.empty() ? std::string("no status bits")
                                                                : Join(words, ", ")));
}

void JudgeSpooler(const Facts& facts, Report& report) {
    const SpoolerFacts& spooler = facts.spooler;
    if (!facts.service.managerOpened) {
        return;  // said once, under the service manager
    }
    if (!spooler.known) {
        report.CannotLook("spooler_unknown",
                          "the Spooler's state cannot be read (" + ErrorWords(spooler.error) + ")",
                          "run kq5doctor from an elevated console");
    } else if (spooler.state == SERVICE_RUNNING) {
        report.Ok("spooler", "Spooler service: running");
    } else {
        report.Problem("spooler_not_running",
                       std::string("Spooler service: ") + StateName(spooler.state),
                       "start it: net start Spooler");
    }
}

// Whether the printer's device opens, said only as far as the open shows it: kq5 running holds
// it, so a device that opens means kq5 reads nothing from it, a device held while another
// service runs kq5svc.exe too may be held by that copy, and one held while kq5 is starting or
// stopping may be held by kq5.
void JudgeDevice(const Facts& facts, Report& report) {
    const PrinterFacts& printer = facts.printer;
    const std::string& copy = facts.service.alsoRunning;
    if (printer.open == DeviceOpen::Opened && Kq5Running(facts)) {
        report.Problem("printer_not_held",
                       "the printer's device opens, so kq5 does not hold it though it runs: it "
                       "reads no status from the printer",
                       "restart kq5: sc stop " + facts.service.name + " && sc start " +
                           facts.service.name + "; or unplug the printer and plug it in again");
    } else if (printer.open == DeviceOpen::Opened) {
        report.Ok("printer_device", "the printer's device opens");
    } else if (printer.open == DeviceOpen::Held && !copy.empty()) {
        report.Problem("printer_held_by_copy",
                       "the printer's device is held (" + ErrorWords(printer.openError) +
                           ") while service \"" + copy +
                           "\" runs kq5svc.exe too: that copy of kq5 may hold it",
                       "keep one kq5: sc stop \"" + copy + "\" && sc delete \"" + copy + "\"");
    } else if (printer.open == DeviceOpen::Held && Kq5Unseen(facts.service)) {
        report.CannotLook("printer_holder_unknown",
                          "the printer's device is held (" + ErrorWords(printer.openError) +
                              "): by kq5 or another program, which cannot be told while kq5's "
                              "service cannot be looked at",
                          "run kq5doctor from an elevated console");
    } else if (printer.open == DeviceOpen::Held && facts.service.installed &&
               facts.service.state != SERVICE_STOPPED && !Kq5Running(facts)) {
        report.CannotLook("printer_holder_unknown",
                          "the printer's device is held (" + ErrorWords(printer.openError) +
                              ") while kq5 is " + StateName(facts.service.state) +
                              ": by kq5 or another program, which cannot be told",
                          "run kq5doctor again once kq5 runs or has stopped");
    } else if (printer.open == DeviceOpen::Held && Kq5Running(facts)) {
        report.Ok("printer_device",
                  "the printer's device is held by kq5, as expected while it runs");
    } else if (printer.open == DeviceOpen::Held) {
        report.Problem("printer_held",
                       "the printer's device is held by another program (" +
                           ErrorWords(printer.openError) + ") while kq5 does not run",
                       "close the program that uses the printer, or unplug and plug it in");
    } else {
        report.Problem(
            "printer_open_failed",
            "the printer's device cannot be opened (" + ErrorWords(printer.openError) + ")",
            "unplug the printer and plug it in again");
    }
}

void JudgePrinter(const Facts& facts, Report& report) {
    const PrinterFacts& printer = facts.printer;
    if (!printer.listed) {
        report.CannotLook(
            "device_list_unreadable",
            "the list of USB devices cannot be read (" + ErrorWords(printer.listError) + ")",
            "run kq5doctor again; if it persists, check Device Manager");
        return;
    }
    for (const DeviceFacts& device : printer.devices) {
        report.Ok("device", "USB device " + device.path + ": " + IdentityWords(device));
    }
    if (printer.devices.empty()) {  // so no printer either
        report.Problem("printer_absent",
                       "the printer is not plugged in: no present USB device carries 0483 and 5741",
                       "plug the printer in and switch it on");
        return;
    }
    if (printer.printer < 0) {
        report.Problem("printer_absent",
                       "the printer is not plugged in: " + std::to_string(printer.devices.size()) +
                           " present USB device(s) carry 0483 and 5741, none is the printer",
                       "plug the printer in and switch it on; a device listed above with another "
                       "port description is not the Korvane Q5");
        return;
    }
    if (printer.port.empty() && printer.portListError != 0) {
        report.CannotLook("printer_port_unreadable",
                          "the printer's USB port cannot be looked up: the Spooler's list of "
                          "ports cannot be read (" +
                              ErrorWords(printer.portListError) + ")",
                          printer.portListError == kRpcUnavailable
                              ? "start the Spooler (net start Spooler), then run kq5doctor again"
                              : "run kq5doctor from an elevated console");
    } else if (printer.port.empty()) {
        report.Problem(
            "printer_port_unknown",
            "Windows gave the printer no USB printer port (no port's Device Id is its "
            "instance)",
            "unplug the printer and plug it in again; if it stays, reinstall its driver");
    } else {
        report.Ok("printer_port", "Windows gave the printer port " + printer.port);
    }
    JudgeDevice(facts, report);
}

void JudgePort(const Facts& facts, Report& report) {
    const PrinterFacts* printer = PresentPrinter(facts);
    if (printer == nullptr || printer->port.empty() || !facts.queue.read) {
        return;
    }
    if (EqualsFoldingAscii(facts.queue.port, printer->port)) {
        report.Ok("port", "the queue prints to " + printer->port + ", the printer's port");
        return;
    }
    report.Problem(
        "port_mismatch",
        "the queue prints to " + facts.queue.port + " but the printer is on " + printer->port,
        "kq5 moves the queue to " + printer->port +
            " at the printer's next arrival: unplug the printer and plug it in again "
            "while kq5 runs; or now, in the queue's Printer properties > Ports, choose " +
            printer->port);
}

// The package file of a version "X.Y.Z.B" as the release names it: kq5-X.Y.Z-x64.msi.
std::string PackageOf(const std::string& version) {
    const size_t third = version.rfind('.');
    return "kq5-" + version.substr(0, third == std::string::npos ? version.size() : third) +
           "-x64.msi";
}

// The program gone: repaired with the package of the version installed (Windows Installer
// refuses another), or, when no program beside it tells that version, by the installed product.
std::string RepairFix(const ServiceFacts& service) {
    if (!service.installedVersion.empty()) {
        return "repair kq5 " + service.installedVersion + " (the version of " +
               service.installedVersionFrom + ") with its own package: msiexec /fa " +
               PackageOf(service.installedVersion);
    }
    return "repair the installed kq5 in Settings > Apps > kq5 > Modify, or with msiexec /fa "
           "\"{PRODUCT-CODE}\" (its code from Windows' uninstall key, as the README's Removing "
           "shows); installed by hand: copy kq5svc.exe there again";
}

void JudgeVersion(const ServiceFacts& service, const std::string& name, Report& report) {
    if (service.versionKnown) {
        return;
    }
    const std::string why = ErrorWords(service.versionError);
    if (service.executable.empty()) {
        report.Problem("kq5_program_missing",
                       name + ": its command line starts no program (an empty quoted name)",
                       BinPathFix(service.name, service.path.substr(2)));
        return;
    }
    if (service.versionError == ERROR_FILE_NOT_FOUND ||
        service.versionError == ERROR_PATH_NOT_FOUND) {
        report.Problem(
            "kq5_program_missing",
            name + ": its program " + service.executable + " does not exist (" + why + ")",
            RepairFix(service));
        return;
    }
    report.CannotLook(
        "kq5_version_unknown",
        name + ": the version of " + service.executable + " cannot be read (" + why + ")",
        "run kq5doctor from an elevated console; the file's Properties > Details "
        "show it too");
}

// The recovery actions and required privileges: a Windows that cannot answer is a CANNOT.
void JudgeServiceConfig(const ServiceFacts& service, const std::string& name, Report& report) {
    if (!service.recoveryKnown) {
        report.CannotLook("kq5_recovery_unknown",
                          name + ": its recovery actions cannot be read (" +
                              ErrorWords(service.recoveryError) + ")",
                          "see them with: sc qfailure " + service.name);
    } else {
        std::vector<std::string> actions;
        for (const FailureAction& action : service.recovery) {
            actions.push_back(std::string(ActionName(action.type)) + " after " +
                              std::to_string(action.delayMs) + " ms");
        }
        report.Ok("kq5_recovery",
                  name + ": recovery actions: " + (actions.empty() ? "none" : Join(actions, ", ")));
    }
    if (!service.privilegesKnown) {
        report.CannotLook("kq5_privileges_unknown",
                          name + ": its required privileges cannot be read (" +
                              ErrorWords(service.privilegesError) + ")",
                          "see them with: sc qprivs " + service.name);
    } else {
        report.Ok(
            "kq5_privileges",
            name + ": required privileges: " +
                (service.privileges.empty() ? "not restricted" : Join(service.privileges, ", ")));
    }
}

// True when kq5's service was found; else says why it was not, or why the doctor cannot tell.
bool ServiceFound(const ServiceFacts& service, Report& report) {
    if (!service.managerOpened) {
        report.CannotLook(
            "service_manager_unavailable",
            "the service manager cannot be opened (" + ErrorWords(service.managerError) + ")",
            "run kq5doctor from an elevated console");
        return false;
    }
    if (!service.installed && service.listError != 0) {
        report.CannotLook("service_list_unreadable",
                          "the list of services cannot be read to its end (" +
                              ErrorWords(service.listError) + "): kq5 may be among those not seen",
                          "run kq5doctor from an elevated console; sc query state= all lists them");
        return false;
    }
    if (!service.installed && !service.unreadable.empty()) {
        report.CannotLook("service_unreadable",
                          std::to_string(service.unreadable.size()) +
                              " service(s) cannot be read, so kq5 may be among them; the first: " +
                              service.unreadable.front() + " (" +
                              ErrorWords(service.unreadableError) + ")",
                          "run kq5doctor from an elevated console; sc qc \"" +
                              service.unreadable.front() + "\" shows its program");
        return false;
    }
    if (!service.installed) {
        report.Problem("kq5_not_installed", "kq5 is not installed: no service runs kq5svc.exe",
                       std::string("install kq5: msiexec /i ") + kPackage);
        return false;
    }
    return true;
}

// An unquoted program path with a space lets Windows start another program (C:\Program.exe); a
// space before the arguments does not.
void JudgePath(const ServiceFacts& service, const std::string& name, Report& report) {
    if (PathQuoted(service.path)) {
        report.Ok("kq5_path", name + ": path " + service.path + " is quoted");
    } else if (HasSpace(service.executable)) {
        report.Problem("kq5_path_unquoted",
                       name + ": path " + service.path +
                           " is not quoted and its program holds a space: Windows may start "
                           "another program",
                       BinPathFix(service.name, service.path));
    } else {
        report.Ok("kq5_path", name + ": path " + service.path +
                                  " is not quoted but its program holds no space");
    }
}

// A stopped kq5 is started; one paused is continued; one on its way somewhere is given the time
// to get there first (a start asked of a service that is stopping is refused).
std::string NotRunningFix(const ServiceFacts& service) {
    if (service.state == SERVICE_PAUSED) {
        return "continue it: sc continue " + service.name;
    }
    if (service.state != SERVICE_START_PENDING && service.state != SERVICE_STOP_PENDING &&
        service.state != SERVICE_CONTINUE_PENDING && service.state != SERVICE_PAUSE_PENDING) {
        return "start it: sc start " + service.name;
    }
    return "run kq5doctor again in a minute; if kq5 is still " +
           std::string(StateName(service.state)) + ", restart the computer";
}

void JudgeService(const Facts& facts, Report& report) {
    const ServiceFacts& service = facts.service;
    if (!ServiceFound(service, report)) {
        return;
    }
    const std::string name = "kq5 (service \"" + service.name + "\")";
    const std::string version =
        service.versionKnown ? ", kq5svc.exe version " + service.version : "";
    if (service.state == SERVICE_RUNNING) {
        report.Ok("kq5_state", name + ": running" + version);
    } else {
        report.Problem("kq5_not_running", name + ": " + StateName(service.state) + version,
                       NotRunningFix(service));
    }
    JudgeVersion(service, name, report);
    if (service.startType == SERVICE_AUTO_START) {
        report.Ok("kq5_start", name + ": starts automatically");
    } else {
        report.Problem("kq5_not_automatic",
                       name + ": start type " + StartTypeName(service.startType) +
                           ", it will not run after a restart",
                       "sc config " + service.name + " start= auto");
    }
    report.Ok("kq5_account", name + ": runs as " + service.account);
    JudgePath(service, name, report);
    JudgeServiceConfig(service, name, report);
}

}  // namespace

std::vector<Finding> Judge(const Facts& facts) {
    Report report;
    JudgeQueue(facts, report);
    JudgeSpooler(facts, report);
    JudgePrinter(facts, report);
    JudgePort(facts, report);
    JudgeService(facts, report);
    return report.findings;
}

int ExitCode(const std::vector<Finding>& findings) {
    int code = 0;
    for (const Finding& finding : findings) {
        if (finding.verdict == Verdict::CannotLook) {
            return 2;
        }
        if (finding.verdict == Verdict::Problem) {
            code = 1;
        }
    }
    return code;
}
