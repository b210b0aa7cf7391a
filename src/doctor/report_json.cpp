// The report as one JSON object: the exit code, the problems' keys and every fact gathered.
#include "common/text.h"
#include "doctor/report.h"
#include "doctor/text.h"
#include "doctor/words.h"

namespace {

const char* IdentityName(Identity identity) {
    switch (identity) {
        case Identity::Printer:
            return "printer";
        case Identity::NoInterfaceKey:
            return "path_without_key";
        case Identity::DescriptionMissing:
            return "description_missing";
        case Identity::DescriptionTooLong:
            return "description_too_long";
        case Identity::DescriptionUnreadable:
            return "description_unreadable";
        case Identity::DescriptionDifferent:
            return "description_different";
    }
    return "unknown";
}

const char* OpenName(DeviceOpen open) {
    switch (open) {
        case DeviceOpen::NotTried:
            return "not_tried";
        case DeviceOpen::Opened:
            return "opened";
        case DeviceOpen::Held:
            return "held";
        case DeviceOpen::Failed:
            return "failed";
    }
    return "unknown";
}

std::string Error(DWORD error) {
    return std::to_string(error);
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string StringList(const std::vector<std::string>& items) {
    std::vector<std::string> quoted;
    quoted.reserve(items.size());
    for (const std::string& item : items) {
        quoted.push_back(JsonString(item));
    }
    return "[" + Join(quoted, ",") + "]";
}

// The device list, the printer and whether its port is the queue's, as JSON members.
std::string PrinterJson(const PrinterFacts& printer, const QueueFacts& queue) {
    std::vector<std::string> devices;
    for (const DeviceFacts& device : printer.devices) {
        devices.push_back("{\"path\":" + JsonString(device.path) +
                          ",\"identity\":" + JsonString(IdentityName(device.identity)) +
                          ",\"description\":" + JsonString(device.description) + "}");
    }
    std::string out = ",\"devices_listed\":" + Bool(printer.listed) +
                      ",\"device_list_error\":" + Error(printer.listError) + ",\"devices\":[" +
                      Join(devices, ",") + "]";
    const bool present = printer.printer >= 0;
    out += ",\"printer\":{\"found\":" + Bool(present) + ",\"path\":" +
           JsonString(present ? printer.devices[static_cast<size_t>(printer.printer)].path : "") +
           ",\"port\":" + JsonString(printer.port) +
           ",\"port_list_error\":" + Error(printer.portListError) +
           ",\"device\":" + JsonString(OpenName(printer.open)) +
           ",\"device_error\":" + Error(printer.openError) + "}";
    const bool comparable = present && !printer.port.empty() && queue.read;
    out += ",\"port_match\":" +
           (comparable ? Bool(EqualsFoldingAscii(queue.port, printer.port)) : std::string("null"));
    return out;
}

// The queues of a near name, each with its port.
std::string NearNamesJson(const std::vector<NearQueue>& queues) {
    std::vector<std::string> items;
    items.reserve(queues.size());
    for (const NearQueue& queue : queues) {
        items.push_back("{\"name\":" + JsonString(queue.name) +
                        ",\"port\":" + JsonString(queue.port) + "}");
    }
    return "[" + Join(items, ",") + "]";
}

// kq5's service as the JSON member "service".
std::string ServiceJson(const ServiceFacts& service) {
    std::vector<std::string> recovery;
    for (const FailureAction& action : service.recovery) {
        recovery.push_back("{\"action\":" + JsonString(ActionName(action.type)) +
                           ",\"delay_ms\":" + std::to_string(action.delayMs) + "}");
    }
    return ",\"service\":{\"manager_error\":" + Error(service.managerError) +
           ",\"list_error\":" + Error(service.listError) +
           ",\"unreadable\":" + StringList(service.unreadable) +
           ",\"unreadable_error\":" + Error(service.unreadableError) +
           ",\"installed\":" + Bool(service.installed) + ",\"name\":" + JsonString(service.name) +
           ",\"state\":" + (service.installed ? JsonString(StateName(service.state)) : "null") +
           ",\"start_type\":" +
           (service.installed ? JsonString(StartTypeName(service.startType)) : "null") +
           ",\"account\":" + JsonString(service.account) + ",\"path\":" + JsonString(service.path) +
           ",\"path_quoted\":" + Bool(PathQuoted(service.path)) + ",\"recovery\":" +
           (service.recoveryKnown ? "[" + Join(recovery, ",") + "]" : std::string("null")) +
           ",\"recovery_error\":" + Error(service.recoveryError) + ",\"required_privileges\":" +
           (service.privilegesKnown ? StringList(service.privileges) : std::string("null")) +
           ",\"privileges_error\":" + Error(service.privilegesError) +
           ",\"program\":" + JsonString(service.executable) + ",\"version\":" +
           (service.versionKnown ? JsonString(service.version) : std::string("null")) +
           ",\"version_error\":" + Error(service.versionError) + ",\"installed_version\":" +
           (service.installedVersion.empty() ? std::string("null")
                                             : JsonString(service.installedVersion)) +
           ",\"installed_version_from\":" + JsonString(service.installedVersionFrom) + "}";
}

}  // namespace

std::string RenderJson(const Facts& facts, const std::vector<Finding>& findings) {
    std::vector<std::string> problems;
    for (const Finding& finding : findings) {
        if (finding.verdict != Verdict::Ok) {
            problems.push_back(finding.key);
        }
    }
    const QueueFacts& queue = facts.queue;
    std::string out = "{\"exit\":" + std::to_string(ExitCode(findings));
    out += ",\"problems\":" + StringList(problems);
    out += ",\"queue\":{\"found\":" + Bool(queue.opened) +
           ",\"open_error\":" + Error(queue.openError) + ",\"read\":" + Bool(queue.read) +
           ",\"port\":" + JsonString(queue.port) +
           ",\"paused\":" + Bool((queue.status & PRINTER_STATUS_PAUSED) != 0) +
           ",\"status\":" + std::to_string(queue.status) +
           ",\"status_words\":" + StringList(StatusWords(queue.status)) +
           ",\"near_names\":" + NearNamesJson(queue.nearNames) +
           ",\"near_names_error\":" + Error(queue.nearNamesError) + "}";
    out += ",\"spooler\":{\"state\":" +
           (facts.spooler.known ? JsonString(StateName(facts.spooler.state)) : "null") +
           ",\"error\":" + Error(facts.spooler.error) + "}";
    return out + PrinterJson(facts.printer, queue) + ServiceJson(facts.service) + "}\n";
}
