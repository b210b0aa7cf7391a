#!/usr/bin/env bash
# A week of trace in kq5trace's layout, on standard output: 756,000 status lines (one every
# 800 ms; the door opened for a minute every hour; the Spooler away for 30 s and a port read with
# a DevicePath line once a day). The same bytes every time. The trace benchmark and the checks of
# the reader (the same findings under Wine, the report in a browser) read it.
set -euo pipefail
awk 'BEGIN {
    print "# kq5trace 1.0.0: debugger lines of the service kq5, generated for the benchmark"
    for (i = 0; i < 756000; i++) {
        ms = i * 800; s = int(ms / 1000); day = int(s / 86400); sod = s % 86400
        stamp = sprintf("2026-11-%02d %02d:%02d:%02d.%03d +01:00", 1 + day, int(sod / 3600),
                        int(sod / 60) % 60, sod % 60, ms % 1000)
        if (i % 108000 == 0) {
            print stamp "\t[4242] GetPrinterHandle"
            print stamp "\t[4242]  DevicePath:\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\\n"
        }
        if (i % 108000 >= 50000 && i % 108000 < 50038)
            print stamp "\t[4242]  Open Printer Error :GetLastError() returns: 0x6ba\\n"
        code = (i % 4500) < 75 ? 4 : 32
        print stamp "\t[4242] KQ5 STATUS:" code "\\r\\n"
    }
}'
