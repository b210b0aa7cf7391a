// kq5doctor: what stands between the printer and its queue, looked up with the service's own
// code and changing nothing. Facts are gathered into plain values first (here), then judged
// (judge.h) and written as lines or JSON (report.h); program.h is the whole program.
#pragma once

#include <string>
#include <vector>

#include "device/device.h"
#include "platform/platform.h"

// A queue whose name is Korvane-Q5's but for case, blanks, hyphens or a suffix (the name Windows
// gives a queue it makes itself), and its port.
struct NearQueue {
    std::string name;
    std::string port;
};

struct QueueFacts {
    bool opened = false;
    DWORD openError = 0;
    // With no queue Korvane-Q5: the queues of a near name, or why the list could not be read.
    std::vector<NearQueue> nearNames;
    DWORD nearNamesError = 0;
    bool read = false;  // the level-2 record could be read
    std::string port;
    DWORD status = 0;  // the record's Status word
};

struct SpoolerFacts {
    bool known = false;
    DWORD error = 0;
    DWORD state = 0;
};

struct DeviceFacts {
    std::string path;
    Identity identity = Identity::NoInterfaceKey;
    std::string description;
};

enum class DeviceOpen { NotTried, Opened, Held, Failed };

struct PrinterFacts {
    bool listed = false;  // the device list could be read
    DWORD listError = 0;
    std::vector<DeviceFacts> devices;  // those with both digit groups, in the system's order
    int printer = -1;                  // index of the first that is the printer
    std::string port;                  // the USB port Windows gave it; empty when none
    DWORD portListError = 0;  // with no port found: why the Spooler's list of ports was not read
    DeviceOpen open = DeviceOpen::NotTried;
    DWORD openError = 0;
};

struct FailureAction {
    DWORD type = 0;
    DWORD delayMs = 0;
};

struct ServiceFacts {
    bool managerOpened = false;
    DWORD managerError = 0;
    DWORD listError = 0;  // the list of services could not be read to its end
    // Services whose program could not be read (not to be opened, or their settings refused):
    // kq5 is found by its program, so any of them may be kq5. Why the first could not be read.
    std::vector<std::string> unreadable;
    DWORD unreadableError = 0;
    bool installed = false;
    std::string name;
    DWORD state = 0;
    DWORD startType = 0;
    std::string account;
    std::string path;
    bool recoveryKnown = false;
    DWORD recoveryError = 0;
    std::vector<FailureAction> recovery;
    bool privilegesKnown = false;
    DWORD privilegesError = 0;
    std::vector<std::string> privileges;
    std::string executable;  // the program the command line starts
    bool versionKnown = false;
    DWORD versionError = 0;
    std::string version;  // of the program's version resource: "1.0.0.0"
    // With the program gone, the version of a program the package installs beside it, and that
    // program: the version installed, whose package repairs it. Empty when none could be read.
    std::string installedVersion;
    std::string installedVersionFrom;
    // The first service after kq5's that runs kq5svc.exe too and is running: a copy of kq5
    // left installed under another name, which may hold the printer. Empty when none.
    std::string alsoRunning;
};

struct Facts {
    QueueFacts queue;
    SpoolerFacts spooler;
    PrinterFacts printer;
    ServiceFacts service;
};

Facts GatherFacts();

// Whether a registered service command line starts kq5svc.exe, and whether it is quoted.
bool IsKq5Path(const std::string& path);
bool PathQuoted(const std::string& path);
// Whether a queue's name is Korvane-Q5's but for letter case, blanks, hyphens, underscores or a
// suffix that does not go on with a digit ("Korvane Q5 Series", not "Korvane-Q50").
bool NearQueueName(const std::string& name);
