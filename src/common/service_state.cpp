#include "common/service_state.h"

ServiceState serviceState;

void ResetServiceRecord() {
    serviceState.deviceHandle = INVALID_HANDLE_VALUE;
    serviceState.deviceNotification = nullptr;
    serviceState.reopenRequested = 0;
    serviceState.deviceRemoved = 0;
    for (BYTE& b : serviceState.statusFrame) {
        b = 0;
    }
    serviceState.serviceStatus = SERVICE_STATUS{};
    serviceState.stoppedReported = false;
    serviceState.statusHandle = nullptr;
    serviceState.stopWaitResult = ERROR_SERVICE_REQUEST_TIMEOUT;
}
