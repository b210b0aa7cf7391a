// A fresh process's state, for the simulation and tests: every run of the service in one host
// process starts as a new Windows process would.
#include "common/service_state.h"
#include "portmove/port_move.h"
#include "service/service.h"

void ResetServiceState() {
    ResetServiceRecord();
    ResetPortMove();
}
