// The simulated service database as read by kq5doctor: enumeration of the services with their
// states, and each service's configuration (QueryServiceConfigW, QueryServiceConfig2W).
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;

namespace {

// Lays out a record followed by its strings in the caller's buffer, as the service manager
// does: strings after the fixed part, each with its terminator.
struct Packer {
    BYTE* buffer;
    size_t size;
    size_t used;

    LPWSTR Put(const Text16& text) {
        const size_t bytes = (text.size() + 1) * sizeof(WCHAR);
        auto* at = reinterpret_cast<LPWSTR>(buffer + used);
        std::memcpy(buffer + used, text.c_str(), bytes);
        used += bytes;
        return at;
    }
};

size_t TextBytes(const std::string& text) {
    return (text.size() + 1) * sizeof(WCHAR);
}

// A too-small buffer is answered with the size needed (advapi32 tests, test_query_svc and
// test_queryconfig2: ERROR_INSUFFICIENT_BUFFER and the needed size in pcbBytesNeeded).
bool Fits(DWORD needed, DWORD size, LPDWORD pcbBytesNeeded) {
    if (pcbBytesNeeded != nullptr) {
        *pcbBytesNeeded = needed;
    }
    if (size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

// The services of the asked types, in the database's order, their states brought up to date.
std::vector<ServiceRecord*> ServicesOfType(Machine& m, DWORD types) {
    std::vector<ServiceRecord*> listed;
    for (ServiceRecord& service : m.services) {
        RefreshService(m, service);
        if ((service.config.type & types) != 0) {
            listed.push_back(&service);
        }
    }
    return listed;
}

size_t EnumRecordBytes(const ServiceRecord& service) {
    return sizeof(ENUM_SERVICE_STATUS_PROCESSW) + 2 * TextBytes(service.name);
}

// Packs the listed services from `index` on into the buffer until one does not fit: records from
// the front of the buffer, strings from the back, as the service manager lays them out. Returns
// the index of the first service left out.
size_t PackServices(const std::vector<ServiceRecord*>& listed, size_t index, LPBYTE buffer,
                    DWORD size, DWORD& returned) {
    size_t front = 0;
    size_t back = buffer == nullptr ? 0 : size;
    for (; index < listed.size(); ++index) {
        const ServiceRecord& service = *listed[index];
        const size_t nameBytes = TextBytes(service.name);
        if (front + EnumRecordBytes(service) > back) {
            break;
        }
        back -= 2 * nameBytes;
        Packer strings{buffer, size, back};
        ENUM_SERVICE_STATUS_PROCESSW record = {};
        record.lpServiceName = strings.Put(Widen(service.name));
        record.lpDisplayName = strings.Put(Widen(service.name));
        record.ServiceStatusProcess.dwServiceType = service.config.type;
        record.ServiceStatusProcess.dwCurrentState = service.state;
        std::memcpy(buffer + front, &record, sizeof record);
        front += sizeof record;
        ++returned;
    }
    return index;
}

}  // namespace

namespace sim {

void InstallService(const std::string& name, const ServiceConfig& config, DWORD state) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    ServiceRecord* service = FindService(m, name);
    if (service == nullptr) {
        m.services.push_back(ServiceRecord{});
        service = &m.services.back();
        service->name = name;
    }
    service->state = state;
    service->transitionDoneAt = UINT64_MAX;  // a pending state given stays until a control
    service->config = config;
}

void RemoveService(const std::string& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    auto& services = TheMachine().services;
    std::erase_if(services, [&name](const ServiceRecord& service) { return service.name == name; });
}

}  // namespace sim

// Enumeration fills as many records as fit and answers ERROR_MORE_DATA with the bytes the rest
// need and the resume point (EnumServicesStatusEx documentation: lpResumeHandle; Wine's
// test_enum_svc: a null buffer of size 0 gives ERROR_MORE_DATA and the needed size).
BOOL WINAPI EnumServicesStatusExW(SC_HANDLE hSCManager, SC_ENUM_TYPE InfoLevel, DWORD dwServiceType,
                                  DWORD dwServiceState, LPBYTE lpServices, DWORD cbBufSize,
                                  LPDWORD pcbBytesNeeded, LPDWORD lpServicesReturned,
                                  LPDWORD lpResumeHandle, LPCWSTR pszGroupName) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "EnumServicesStatusExW", [&] {
            return HandleName(m, hSCManager) + ", " + std::to_string(InfoLevel) + ", " +
                   Hex(dwServiceType) + ", " + Hex(dwServiceState) + ", " +
                   std::to_string(cbBufSize);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    if (FindHandle(m, hSCManager, "scmanager") == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InfoLevel != SC_ENUM_PROCESS_INFO) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (pcbBytesNeeded == nullptr || lpServicesReturned == nullptr || pszGroupName != nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    const std::vector<ServiceRecord*> listed = ServicesOfType(m, dwServiceType);
    *lpServicesReturned = 0;
    *pcbBytesNeeded = 0;
    const size_t index = PackServices(listed, lpResumeHandle != nullptr ? *lpResumeHandle : 0,
                                      lpServices, cbBufSize, *lpServicesReturned);
    if (index == listed.size()) {
        if (lpResumeHandle != nullptr) {
            *lpResumeHandle = 0;
        }
        return TRUE;
    }
    for (size_t rest = index; rest < listed.size(); ++rest) {
        *pcbBytesNeeded += static_cast<DWORD>(EnumRecordBytes(*listed[rest]));
    }
    if (lpResumeHandle != nullptr) {
        *lpResumeHandle = static_cast<DWORD>(index);
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    return OpenServiceCalled(
        m, "OpenServiceW", hSCManager, Quote(lpServiceName), dwDesiredAccess,
        lpServiceName ? std::optional<std::string>(Narrow(lpServiceName)) : std::nullopt);
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const ServiceRecord* service =
        ServiceCalled(m, "QueryServiceConfigW", hService, std::to_string(cbBufSize));
    if (service == nullptr) {
        return FALSE;
    }
    const ServiceConfig& config = service->config;
    // Five strings: path, load order group, dependencies (a double-terminated list), account,
    // display name.
    const size_t strings = TextBytes(config.binaryPath) + TextBytes("") + 2 * sizeof(WCHAR) +
                           TextBytes(config.account) + TextBytes(service->name);
    const auto needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + strings);
    if (!Fits(needed, lpServiceConfig == nullptr ? 0 : cbBufSize, pcbBytesNeeded)) {
        return FALSE;
    }
    auto* bytes = reinterpret_cast<BYTE*>(lpServiceConfig);
    Packer packer{bytes, cbBufSize, sizeof(QUERY_SERVICE_CONFIGW)};
    QUERY_SERVICE_CONFIGW record = {};
    record.dwServiceType = config.type;
    record.dwStartType = config.startType;
    record.dwErrorControl = 1;
    record.lpBinaryPathName = packer.Put(Widen(config.binaryPath));
    record.lpLoadOrderGroup = packer.Put(u"");
    record.lpDependencies = packer.Put(Text16(1, u'\0'));
    record.lpServiceStartName = packer.Put(Widen(config.account));
    record.lpDisplayName = packer.Put(Widen(service->name));
    std::memcpy(bytes, &record, sizeof record);
    return TRUE;
}

BOOL WINAPI QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const ServiceRecord* service =
        ServiceCalled(m, "QueryServiceConfig2W", hService,
                      std::to_string(dwInfoLevel) + ", " + std::to_string(cbBufSize));
    if (service == nullptr) {
        return FALSE;
    }
    // A null buffer with a size is refused (Wine's advapi32 test_queryconfig2: NULL and
    // sizeof(SERVICE_DESCRIPTIONA) gives ERROR_INVALID_ADDRESS, or on some versions
    // ERROR_INSUFFICIENT_BUFFER); only size 0 asks for the size.
    if (lpBuffer == nullptr && cbBufSize != 0) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    const ServiceConfig& config = service->config;
    // Wine's advapi32 answers levels it does not implement with ERROR_INVALID_LEVEL (service.c,
    // QueryServiceConfig2W: "Level %d not implemented").
    if (config.config2Unsupported || (dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
                                      dwInfoLevel != SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO)) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const size_t actions = config.failureActions.size() * sizeof(SC_ACTION);
        const auto needed = static_cast<DWORD>(sizeof(SERVICE_FAILURE_ACTIONSW) + actions);
        if (!Fits(needed, lpBuffer == nullptr ? 0 : cbBufSize, pcbBytesNeeded)) {
            return FALSE;
        }
        SERVICE_FAILURE_ACTIONSW record = {};
        record.dwResetPeriod = config.resetPeriod;
        record.cActions = static_cast<DWORD>(config.failureActions.size());
        if (!config.failureActions.empty()) {
            record.lpsaActions = reinterpret_cast<SC_ACTION*>(lpBuffer + sizeof record);
            std::memcpy(record.lpsaActions, config.failureActions.data(), actions);
        }
        std::memcpy(lpBuffer, &record, sizeof record);
        return TRUE;
    }
    Text16 list;
    for (const std::string& privilege : config.requiredPrivileges) {
        list += Widen(privilege);
        list += u'\0';
    }
    list += u'\0';
    const auto needed = static_cast<DWORD>(sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOW) +
                                           (list.size() + 1) * sizeof(WCHAR));
    if (!Fits(needed, lpBuffer == nullptr ? 0 : cbBufSize, pcbBytesNeeded)) {
        return FALSE;
    }
    Packer packer{lpBuffer, cbBufSize, sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOW)};
    SERVICE_REQUIRED_PRIVILEGES_INFOW record = {};
    record.pmszRequiredPrivileges = packer.Put(list);
    std::memcpy(lpBuffer, &record, sizeof record);
    return TRUE;
}
