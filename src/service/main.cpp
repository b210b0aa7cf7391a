// kq5svc.exe: the Windows service that keeps the print queue "Korvane-Q5" in step with its
// USB printer.
#include "service/service.h"

int main() {
    return ServiceProgramMain();
}
