// A fresh simulated machine and a fresh service state for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/service_state.h"
#include "platform/sim/sim.h"
#include "portmove/debt.h"
#include "portmove/port_move.h"
#include "service/service.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Reset();
        ResetServiceState();
    }
    // A failure or action a test injected at a call that never came tested nothing.
    void TearDown() override {
        EXPECT_EQ(sim::UndeliveredInjections(), std::vector<std::string>{});
    }
};

// The queue "Korvane-Q5" on `port`, with the spooler running.
inline void AddQueue(const char16_t* port = u"USB001") {
    sim::AddPrinter(u"Korvane-Q5", port);
}

inline std::vector<std::string> Names(const std::vector<std::string>& calls) {
    std::vector<std::string> names;
    for (const std::string& call : calls) {
        names.push_back(call.substr(0, call.find('(')));
    }
    return names;
}

// The names of the calls of these functions, in the order they were made.
inline std::vector<std::string> Order(const std::vector<std::string>& functions) {
    return Names(sim::CallsOf(functions));
}

// The two code page 936 messages, spelled here independently of the product (common/diagnostics.h)
// so that a change to the service's bytes fails the tests instead of passing through both sides.
inline const std::string kOpenFailedGbk =
    "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!";
inline const std::string kReadFailedGbk =
    "\xBB\xF1\xB5\xC3PRINTER_INFO_2\xB5\xC4\xCA\xFD\xD7\xE9\xCA\xA7\xB0\xDC!";
inline std::string OpenErrorLine(const std::string& hexCode) {
    return " Open Printer Error :GetLastError() returns: 0x" + hexCode + "\n";
}
inline const std::string kNoQueueLine = OpenErrorLine("709");

// ---- USB devices and their registry entries ----------------------------------------------------

inline const std::string kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

inline std::u16string PrinterPath(const std::string& serial,
                                  const std::string& ids = "vid_0483&pid_5741") {
    return sim::Widen("\\\\?\\usb#" + ids + "#" + serial + "#" + kUsbDeviceClass);
}

// Where the USB printing class keeps the port description of the device at `serial`.
inline std::string DescriptionKey(const std::string& serial,
                                  const std::string& ids = "vid_0483&pid_5741") {
    return "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\"
           "##?#usb#" +
           ids + "#" + serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters";
}

inline std::string PortKey(const std::string& port) {
    return "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\" + port;
}

// A present printer with its port description registered.
inline void PlugPrinter(const std::string& serial, const std::string& description = "KorvaneQ5",
                        const std::string& ids = "vid_0483&pid_5741") {
    sim::SetRegistryString(DescriptionKey(serial, ids), "Port Description", description);
    sim::PlugDevice(PrinterPath(serial, ids));
}
