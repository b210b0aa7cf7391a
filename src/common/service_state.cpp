#include "common/service_state.h"

ServiceState serviceState;

void ResetServiceState() {
    serviceState.deviceHandle = INVALID_HANDLE_VALUE;
    serviceState.deviceNotification = nullptr;
    serviceState.reopenRequested = 0;
    serviceState.deviceRemoved = 0;
    serviceState.spoolerStartOwed = 0;
    serviceState.portMoveOwed = 0;
    serviceState.portMoveResumes = 0;
    serviceState.spoolerRefusedForGood = 0;
    serviceState.spoolerStartRefusals = 0;
    serviceState.spoolerStartCyclesToWait = 0;
    serviceState.spoolerLookInFlight = 0;
    for (BYTE& b : serviceState.statusFrame) {
        b = 0;
    }
    serviceState.serviceStatus = SERVICE_STATUS{};
    serviceState.stoppedReported = false;
    serviceState.statusHandle = nullptr;
    serviceState.currentPortName.clear();
    serviceState.owedPrinterPath.clear();
}
