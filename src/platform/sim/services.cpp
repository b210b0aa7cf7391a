// The simulated service control manager (advapi32): the "Spooler" service with its stop and start
// times, the service dispatcher of this process, status reports and device notifications.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/sim/machine.h"

using namespace sim;

namespace {

// While stopping or starting, the simulated services count a checkpoint every second and report
// a wait hint of two seconds.
constexpr uint64_t kCheckPointIntervalMs = 1000;
constexpr DWORD kPendingWaitHintMs = 2000;

}  // namespace

namespace sim {

ServiceRecord* FindService(Machine& m, const std::string& name) {
    for (ServiceRecord& service : m.services) {
        if (LowerAscii(service.name) == LowerAscii(name)) {
            return &service;
        }
    }
    return nullptr;
}

// Completes a pending stop or start whose time has come.
void RefreshService(Machine& m, ServiceRecord& service) {
    if (service.state != SERVICE_STOP_PENDING && service.state != SERVICE_START_PENDING) {
        return;
    }
    if (m.nowMs < service.transitionDoneAt) {
        return;
    }
    const bool stopped = service.state == SERVICE_STOP_PENDING;
    service.state = stopped ? SERVICE_STOPPED : SERVICE_RUNNING;
    AddTimelineAt(
        m, service.transitionDoneAt,
        ServiceStepEvent{service.name, stopped ? ServiceStep::Stopped : ServiceStep::Running});
}

ServiceRecord* ServiceOf(Machine& m, SC_HANDLE handle) {
    HandleEntry* entry = FindHandle(m, handle, "service");
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ServiceRecord* service = FindService(m, entry->service);
    if (service == nullptr) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    } else {
        RefreshService(m, *service);
    }
    return service;
}

ServiceRecord* ServiceCalled(Machine& m, const char* function, SC_HANDLE handle,
                             const std::string& arguments) {
    if (auto error = RecordCall(m, function, [&] {
            const std::string name = HandleName(m, handle);
            return arguments.empty() ? name : name + ", " + arguments;
        })) {
        SetLastError(*error);
        return nullptr;
    }
    return ServiceOf(m, handle);
}

SC_HANDLE OpenServiceCalled(Machine& m, const char* function, SC_HANDLE manager,
                            const std::string& quotedName, DWORD access,
                            const std::optional<std::string>& name) {
    if (auto error = RecordCall(m, function, [&] {
            return HandleName(m, manager) + ", " + quotedName + ", " + Hex(access);
        })) {
        SetLastError(*error);
        return nullptr;
    }
    if (FindHandle(m, manager, "scmanager") == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!name || FindService(m, *name) == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = "service";
    entry.service = *name;
    return static_cast<SC_HANDLE>(NewHandle(m, entry));
}

bool SpoolerRunning(Machine& m) {
    ServiceRecord* spooler = FindService(m, "Spooler");
    if (spooler == nullptr) {
        return false;
    }
    RefreshService(m, *spooler);
    return spooler->state == SERVICE_RUNNING;
}

}  // namespace sim

namespace {

// A service being started accepts no control until it reports otherwise (StartService remarks);
// the simulated services accept stop once running.
DWORD AcceptedControls(const ServiceRecord& service) {
    return service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

// The controls a caller can send with ControlService; the others (shutdown, device events, ...)
// come from the system itself. ControlService page: the control codes, and
// ERROR_INVALID_PARAMETER for an undefined one.
bool SentWithControlService(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_PARAMCHANGE:
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE:
            return true;
        default:
            return control >= 128 && control <= 255;  // user-defined
    }
}

bool Accepts(DWORD accepted, DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return (accepted & SERVICE_ACCEPT_STOP) != 0;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
        case SERVICE_CONTROL_PARAMCHANGE:
            return (accepted & SERVICE_ACCEPT_PARAMCHANGE) != 0;
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE:
            return (accepted & SERVICE_ACCEPT_NETBINDCHANGE) != 0;
        default:
            return true;  // interrogate, which every service accepts, and user-defined codes
    }
}

// The service manager's answer to a control sent with ControlService, by the state the service
// last reported and the controls it accepts: NO_ERROR when it passes the control on. Evidence:
// the ControlService page (remarks: the table of controls by state, in which a stopping service
// takes no control at all, whatever it accepts, and a starting one only a stop it accepts;
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL: "the state of the service is SERVICE_STOPPED,
// SERVICE_START_PENDING, or SERVICE_STOP_PENDING"); Wine's service manager answers the same.
DWORD RefusalByState(DWORD state, DWORD accepted, DWORD control) {
    if (state == SERVICE_STOPPED) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    if (state == SERVICE_STOP_PENDING ||
        (state == SERVICE_START_PENDING && control != SERVICE_CONTROL_STOP)) {
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    return Accepts(accepted, control) ? DWORD{NO_ERROR} : DWORD{ERROR_INVALID_SERVICE_CONTROL};
}

void FillStatus(const Machine& m, const ServiceRecord& service, LPSERVICE_STATUS status) {
    if (status == nullptr) {
        return;
    }
    std::memset(status, 0, sizeof *status);
    // The Spooler runs in a process of its own, spoolsv.exe (its service key's Type is 0x110).
    status->dwServiceType = LowerAscii(service.name) == "spooler"
                                ? SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS
                                : SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = service.state;
    status->dwControlsAccepted = AcceptedControls(service);
    if (service.state == SERVICE_STOP_PENDING || service.state == SERVICE_START_PENDING) {
        // A pending service reports progress: its checkpoint goes up at least once within its
        // wait hint (SERVICE_STATUS); one that hangs stops counting.
        const uint64_t elapsed = m.nowMs - service.transitionStartedAt;
        status->dwCheckPoint =
            1 + (service.hangs ? 0 : static_cast<DWORD>(elapsed / kCheckPointIntervalMs));
        status->dwWaitHint = kPendingWaitHintMs;
    }
}

bool HasRunningDependents(Machine& m, const ServiceRecord& service) {
    for (ServiceRecord& other : m.services) {
        for (const std::string& dependency : other.dependsOn) {
            RefreshService(m, other);
            if (LowerAscii(dependency) == LowerAscii(service.name) &&
                other.state != SERVICE_STOPPED) {
                return true;
            }
        }
    }
    return false;
}

const SERVICE_STATUS_HANDLE kStatusHandle =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5e55));

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "OpenSCManagerA", [&] {
            return Quote(lpMachineName) + ", " + Quote(lpDatabaseName) + ", " +
                   Hex(dwDesiredAccess);
        })) {
        SetLastError(*error);
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = "scmanager";
    return static_cast<SC_HANDLE>(NewHandle(m, entry));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    return OpenServiceCalled(
        m, "OpenServiceA", hSCManager, Quote(lpServiceName), dwDesiredAccess,
        lpServiceName ? std::optional<std::string>(lpServiceName) : std::nullopt);
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    ServiceRecord* service =
        ServiceCalled(m, "ControlService", hService, std::to_string(dwControl));
    if (service == nullptr) {
        return FALSE;
    }
    if (!SentWithControlService(dwControl)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // undefined here, shutdown among them
        return FALSE;
    }
    // These refusals fill in the status.
    const DWORD refusal = RefusalByState(service->state, AcceptedControls(*service), dwControl);
    if (refusal != NO_ERROR) {
        SetLastError(refusal);
        FillStatus(m, *service, lpServiceStatus);
        return FALSE;
    }
    if (dwControl != SERVICE_CONTROL_STOP) {
        // The simulated services answer every other control they accept with their status.
        FillStatus(m, *service, lpServiceStatus);
        return TRUE;
    }
    if (HasRunningDependents(m, *service)) {
        // The service manager does not pass the stop on, and fills in no status.
        SetLastError(ERROR_DEPENDENT_SERVICES_RUNNING);
        AddTimeline(m, ServiceStepEvent{service->name, ServiceStep::StopRefused});
        return FALSE;
    }
    service->state = SERVICE_STOP_PENDING;
    service->transitionStartedAt = m.nowMs;
    service->transitionDoneAt = service->hangs ? UINT64_MAX : m.nowMs + service->stopMs;
    ++m.spoolerGeneration;  // the spooler drops its clients' printer handles
    AddTimeline(m, ServiceStepEvent{service->name, ServiceStep::StopRequested});
    RefreshService(m, *service);
    FillStatus(m, *service, lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    ServiceRecord* service = ServiceCalled(m, "QueryServiceStatus", hService, "");
    if (service == nullptr) {
        return FALSE;
    }
    FillStatus(m, *service, lpServiceStatus);
    return TRUE;
}

namespace {

// The request as the service manager answers it; `blocksUntil` is set when the answer waits for
// the service's process. Lock held.
BOOL AnswerStart(Machine& m, SC_HANDLE hService, DWORD dwNumServiceArgs,
                 LPCSTR* lpServiceArgVectors, uint64_t& blocksUntil) {
    const auto error = RecordCall(m, "StartServiceA", [&] {
        return HandleName(m, hService) + ", " + std::to_string(dwNumServiceArgs) + ", " +
               (lpServiceArgVectors ? "args" : "null");
    });
    ServiceRecord* service = ServiceOf(m, hService);
    if (service == nullptr) {
        SetLastError(error.value_or(ERROR_INVALID_HANDLE));
        return FALSE;
    }
    // Every request shows, and a refusal with its error, so that a run shows the pace of them.
    AddTimeline(m, ServiceStepEvent{service->name, ServiceStep::StartRequested});
    const auto refuse = [&](DWORD refusal, std::optional<uint32_t> state) {
        SetLastError(refusal);
        AddTimeline(m, StartRefusedEvent{service->name, refusal, state});
        return FALSE;
    };
    if (error) {
        return refuse(*error, std::nullopt);
    }
    if (service->state != SERVICE_STOPPED) {
        // A service that is running, starting or still stopping refuses to start.
        return refuse(ERROR_SERVICE_ALREADY_RUNNING, service->state);
    }
    service->state = SERVICE_START_PENDING;
    service->transitionStartedAt = m.nowMs;
    service->transitionDoneAt = m.nowMs + service->startBlocksMs + service->startMs;
    // StartService returns once the service's process has connected to the service manager
    // (StartService: "...did not call StartServiceCtrlDispatcher" within its timeout): a process
    // that is slow to come up holds the caller that long.
    blocksUntil = m.nowMs + service->startBlocksMs;
    RefreshService(m, *service);
    return TRUE;
}

}  // namespace

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    uint64_t blocksUntil = 0;
    BOOL answer = FALSE;
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        answer =
            AnswerStart(TheMachine(), hService, dwNumServiceArgs, lpServiceArgVectors, blocksUntil);
    }
    if (blocksUntil != 0 && OnSimulatedThread()) {
        SleepUntil(blocksUntil);
    }
    return answer;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    return CloseHandleOf("CloseServiceHandle", hSCObject, {"service", "scmanager"});
}

namespace {

// A control sent with ControlService that the service manager does not pass on for the state
// the service last reported (a second stop to a service that is stopping): it never reaches the
// handler, and the sender gets the refusal. The system's own controls (shutdown, device events)
// are not sent with ControlService and are delivered; whether Windows sends them to a service
// that is stopping is not documented. Lock held.
bool RefuseForState(Machine& m, DWORD control, size_t record) {
    if (!SentWithControlService(control)) {
        return false;
    }
    const DWORD refusal = RefusalByState(m.reportedState, m.reportedControls, control);
    if (refusal == NO_ERROR) {
        return false;
    }
    AddTimeline(m, ControlRefusedEvent{control, refusal, m.reportedState});
    m.controlRecords[record].refused = true;
    m.controlRecords[record].answer = refusal;
    return true;
}

}  // namespace

// ---- The service dispatcher of this process ----------------------------------------------------

namespace {

// The dispatcher's connection to the service manager, which then starts the service: its table
// checked, the call recorded. Null when it fails (the last error set).
const SERVICE_TABLE_ENTRYW* ConnectDispatcher(const SERVICE_TABLE_ENTRYW* table) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const bool valid =
        table != nullptr && table[0].lpServiceName != nullptr && table[0].lpServiceProc != nullptr;
    const bool terminated =
        valid && table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr;
    if (auto error = RecordCall(m, "StartServiceCtrlDispatcherW", [&] {
            return valid ? "{" + Quote(table[0].lpServiceName) + ", ServiceMain}" +
                               (terminated ? ", {null, null}" : ", ?")
                         : "invalid";
        })) {
        SetLastError(*error);
        return nullptr;
    }
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!m.startedByServiceManager) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    m.serviceNamesSeen.push_back(table[0].lpServiceName);
    // The service manager's view of a service it starts until the service reports: starting,
    // accepting no control (StartService remarks).
    m.reportedState = SERVICE_START_PENDING;
    m.reportedControls = 0;
    AddTimeline(m, ServiceStartedEvent{});
    return table;
}

// Runs the handler for one control on the dispatcher's thread, and records how long it held it.
void HandleControl(Control& control, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    const uint64_t startedAt = NowMs();
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        ControlRecord& record = TheMachine().controlRecords[control.record];
        record.startedAt = startedAt;
        record.handled = true;
    }
    const DWORD answer = handler(control.control, control.eventType,
                                 control.data.empty() ? nullptr : control.data.data(), context);
    const uint64_t heldMs = NowMs() - startedAt;
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    m.longestControlMs = std::max(m.longestControlMs, heldMs);
    if (control.control == SERVICE_CONTROL_STOP || control.control == SERVICE_CONTROL_SHUTDOWN) {
        m.longestStopMs = std::max(m.longestStopMs, heldMs);
    }
    m.controlRecords[control.record].endedAt = startedAt + heldMs;
    m.controlRecords[control.record].answer = answer;
}

}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
    const SERVICE_TABLE_ENTRYW* table = ConnectDispatcher(lpServiceStartTable);
    if (table == nullptr) {
        return FALSE;
    }
    LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;
    LPWSTR name = table[0].lpServiceName;
    auto runServiceMain = [serviceMain, name] {
        LPWSTR argv[1] = {name};
        serviceMain(1, argv);
    };
    if (!StartSimulatedThread("ServiceMain", runServiceMain)) {
        runServiceMain();  // outside a simulated process: run it here, then the queued controls
    }
    for (;;) {
        Control control;
        bool delivered = false;
        LPHANDLER_FUNCTION_EX handler = nullptr;
        LPVOID context = nullptr;
        {
            std::lock_guard<std::mutex> lock(MachineLock());
            Machine& m = TheMachine();
            if (m.serviceStopped) {
                return TRUE;
            }
            if (!m.controls.empty()) {
                control = std::move(m.controls.front());
                m.controls.pop_front();
                if (RefuseForState(m, control.control, control.record)) {
                    continue;
                }
                delivered = true;
                handler = m.handler;
                context = m.handlerContext;
            } else if (!OnSimulatedThread()) {
                return TRUE;
            }
        }
        if (!delivered) {
            WaitForControl();
        } else if (handler != nullptr) {
            // Controls run on the dispatcher's thread, one at a time, as on Windows.
            HandleControl(control, handler, context);
        }
    }
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "RegisterServiceCtrlHandlerExW", [&] {
            return Quote(lpServiceName) + ", " + (lpHandlerProc ? "handler" : "null") + ", " +
                   (lpContext ? "context" : "null");
        })) {
        SetLastError(*error);
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    m.serviceNamesSeen.push_back(lpServiceName ? lpServiceName : u"");
    m.handler = lpHandlerProc;
    m.handlerContext = lpContext;
    return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        const std::string state = lpServiceStatus
                                      ? ServiceStateName(lpServiceStatus->dwCurrentState)
                                      : std::string("null");
        if (auto error = RecordCall(m, "SetServiceStatus", [&] {
                return (hServiceStatus == kStatusHandle ? std::string("status")
                                                        : HandleName(m, hServiceStatus)) +
                       ", " + state;
            })) {
            SetLastError(*error);
            return FALSE;
        }
        if (hServiceStatus != kStatusHandle || lpServiceStatus == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const SERVICE_STATUS& s = *lpServiceStatus;
        if (m.recording) {
            m.statusReports.push_back(s);
        }
        m.reportedState = s.dwCurrentState;
        m.reportedControls = s.dwControlsAccepted;
        AddTimeline(m, StatusReportEvent{s.dwCurrentState, s.dwServiceType, s.dwControlsAccepted,
                                         s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                                         s.dwCheckPoint, s.dwWaitHint});
        if (s.dwCurrentState == SERVICE_STOPPED) {
            m.serviceStopped = true;
            stopped = true;
        }
    }
    if (stopped) {
        WakeDispatcher();
    }
    return TRUE;
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter,
                                              DWORD Flags) {
    LPHANDLER_FUNCTION_EX handler = nullptr;
    DWORD early = 0;
    LPVOID context = nullptr;
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        std::swap(early, m.controlDuringNotification);
        handler = m.handler;
        context = m.handlerContext;
    }
    if (early != 0 && handler != nullptr) {
        handler(early, 0, nullptr, context);
    }
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
    std::string described = "null";
    if (filter != nullptr) {
        described = "{size " + std::to_string(filter->dbcc_size) + ", type " +
                    std::to_string(filter->dbcc_devicetype) + "}";
    }
    if (auto error = RecordCall(m, "RegisterDeviceNotificationW", [&] {
            return std::string(hRecipient == kStatusHandle ? "status" : "other") + ", " +
                   described + ", " + std::to_string(Flags);
        })) {
        SetLastError(*error);
        return nullptr;
    }
    if (filter == nullptr ||
        filter->dbcc_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    m.notification.registered = true;
    m.notification.recipient = hRecipient;
    m.notification.flags = Flags;
    const auto* bytes = static_cast<const BYTE*>(NotificationFilter);
    m.notification.filter.assign(bytes, bytes + filter->dbcc_size);
    HandleEntry entry;
    entry.kind = "devnotify";
    entry.mustClose = false;  // lasts as long as the process
    return NewHandle(m, entry);
}

namespace sim {

void SetSpoolerTimes(uint64_t stopMs, uint64_t startMs) {
    std::lock_guard<std::mutex> lock(MachineLock());
    ServiceRecord* spooler = FindService(TheMachine(), "Spooler");
    spooler->stopMs = stopMs;
    spooler->startMs = startMs;
}

void SetSpoolerStartBlocks(uint64_t ms) {
    std::lock_guard<std::mutex> lock(MachineLock());
    FindService(TheMachine(), "Spooler")->startBlocksMs = ms;
}

void SetSpoolerStopHangs(bool hangs) {
    std::lock_guard<std::mutex> lock(MachineLock());
    FindService(TheMachine(), "Spooler")->hangs = hangs;
}

void AddSpoolerDependent(const std::string& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    ServiceRecord dependent;
    dependent.name = name;
    dependent.dependsOn.push_back("Spooler");
    TheMachine().services.push_back(dependent);
}

uint64_t LongestControlMs() {
    return ReadMachine(&Machine::longestControlMs);
}

uint64_t LongestStopMs() {
    return ReadMachine(&Machine::longestStopMs);
}

std::vector<ControlRecord> ControlsSent() {
    return ReadMachine(&Machine::controlRecords);
}

DWORD SpoolerState() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    ServiceRecord* spooler = FindService(m, "Spooler");
    RefreshService(m, *spooler);
    return spooler->state;
}

std::vector<SERVICE_STATUS> StatusReports() {
    return ReadMachine(&Machine::statusReports);
}

void DeliverControlDuringNotificationRegistration(DWORD control) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().controlDuringNotification = control;
}

void SetStartedByServiceManager(bool started) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().startedByServiceManager = started;
}

NotificationRegistration Notification() {
    return ReadMachine(&Machine::notification);
}

std::vector<Text16> ServiceNamesSeen() {
    return ReadMachine(&Machine::serviceNamesSeen);
}

void SendControl(DWORD control, DWORD eventType, const std::vector<BYTE>& eventData) {
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        ControlRecord record;
        record.control = control;
        record.sentAt = m.nowMs;
        m.controlRecords.push_back(record);
        m.controls.push_back(Control{control, eventType, eventData, m.controlRecords.size() - 1});
    }
    WakeDispatcher();
}

std::vector<BYTE> DeviceInterfaceRecord(const Text16& path) {
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const size_t size = nameOffset + (path.size() + 1) * sizeof(WCHAR);
    std::vector<BYTE> record(size, 0);
    DEV_BROADCAST_DEVICEINTERFACE_W header = {};
    header.dbcc_size = static_cast<DWORD>(size);
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    std::memcpy(record.data(), &header, nameOffset);
    std::memcpy(record.data() + nameOffset, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return record;
}

}  // namespace sim
