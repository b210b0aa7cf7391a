// The invariants: each check registered beside its name, why it matters and when it is not
// promised. kq5swarm --invariants prints the texts as the table that docs/swarm.md shows; the
// checks run in this order, those of a moment at every event of a run and at its end, then those
// of the end.
#include "checks.h"

namespace {

using namespace swarm;

// clang-format off
const std::vector<Invariant> kInvariants = {
    {"spooler-runs-at-end",
     "kq5 is never the reason printing stays down: every restart it begins ends with the "
     "Spooler running",
     "the stop hangs; a lasting refusal, or a fault that stays, on opening or starting the "
     "Spooler; more refusals than the back-off retries within the tail; a stop that gave up "
     "and said why (non-zero exit code); a shutdown taken while the Spooler was down (the "
     "machine starts it again)",
     nullptr, SpoolerRunsAtEnd},
    {"queue-on-printer-port",
     "once the printer stays on one port and kq5 has handled its arrival, the queue prints to "
     "that port within two cycles of the Spooler running",
     "the arrival was not handled (kq5 not running: a move is followed only on an arrival); a "
     "fault in the arrival's lookups or queue calls since it was handled (a move the Spooler "
     "was down for is looked up once it runs); a shutdown since the arrival; a stop taken "
     "before it whose report failed; a failed thread start in the process before it (kq5 stops "
     "without its poller, and a stop whose report failed acts on no device event); a stop since "
     "that gave up and said why",
     QueueOnPrinterPort, nullptr},
    {"queue-follows-status",
     "while the printer is present and answering, the queue's state follows its status within "
     "two cycles",
     "kq5 not running or stopping; the Spooler not running throughout those two cycles; a "
     "status change, scripted read or the arrival's handling within them; a fault in the "
     "device's discovery since it was last opened, or in its reads or the queue's calls within "
     "them; a failed thread start in the process; a stop taken whose report failed; a code "
     "with no queue action; a resume within the last cycle while the printer asks for a pause "
     "(a port move's follow-up resumes the queue once the Spooler runs; the poller pauses it "
     "again on its next cycle)",
     QueueFollowsStatus, nullptr},
    {"removal-pauses-offline",
     "after the printer's removal while kq5 runs, the queue is paused and offline",
     "the removal was handled by an earlier process (a printer absent when kq5 starts is not "
     "marked); the Spooler down, or a fault in the identity check or a queue call, while the "
     "removal was handled; a failed thread start in the process before it (kq5 stops without "
     "its poller, and a stop whose report failed acts on no device event); kq5 not running",
     RemovalPausesOffline, nullptr},
    {"no-stray-handles",
     "when a process of kq5 ends, and at the end, no handle is open but the poller's device "
     "handle",
     "a call still blocked when its process ends (a start request of a Spooler slow to come "
     "up, a stop's wait that gave up, any work under way at a shutdown, which tears nothing "
     "down) holds its service-manager handles until Windows closes them",
     nullptr, NoStrayHandles},
    {"queue-writes-only-state-status-port",
     "kq5 writes the queue's state, status and port and nothing else, the port only to one the "
     "printer was given",
     "never",
     nullptr, QueueWritesOnlyStateStatusPort},
    {"controls-answered",
     "every control is answered (the handler returns) within its bound: a stop or a shutdown "
     "within 100 ms (`kStopHandlingBoundMs`), any other within the longest an arrival's port "
     "move may take (`kControlAnswerBoundMs`, 51.6 s)",
     "a stop for which no thread could be made: the handler pays the debt itself, within the "
     "longer bound",
     nullptr, ControlsAnswered},
    {"stop-ends-in-bound",
     "a stop or shutdown taken by the handler reports `SERVICE_STOPPED` within 21 s",
     "a fault in `SetServiceStatus` while it reports",
     nullptr, StopEndsInBound},
    {"stopped-is-final",
     "nothing is reported after `SERVICE_STOPPED`",
     "never",
     nullptr, StoppedIsFinal},
    {"lasting-refusal-ends-debt",
     "a start refused for good (disabled, no logon, no right, gone) is not asked for again "
     "until a new restart",
     "never",
     nullptr, LastingRefusalEndsDebt},
    {"owed-start-prompt",
     "a Spooler that kq5 stopped is asked to start within two cycles of its stop",
     "kq5 not running throughout, or the stop asked for by an earlier process; a fault in "
     "opening or starting the Spooler since (the back-off sets the pace)",
     nullptr, OwedStartPrompt},
    {"port-read-afresh",
     "once a restart is paid, kq5's record of the queue's port (`currentPortName`) is the "
     "queue's port",
     "no port move in the process that runs at the end; a fault in the queue's calls since the "
     "move; a refusal kq5 takes for lasting (access denied, ...) on the Spooler's open or "
     "start since the move, which ends the debt and its read of the port with it; the Spooler "
     "not running at the end",
     nullptr, PortReadAfresh},
    {"queue-left-alone-while-spooler-stopped",
     "while the Spooler is stopped with its start owed, nothing but status mirroring asks for "
     "the queue",
     "a control being handled; the printer present with a code that has a queue action (the "
     "poller mirrors it, and fails at the open); a start refused as \"already running\" with "
     "the Spooler's state unreadable after it (kq5 takes it for possibly running: the port "
     "move's follow-up asks for the queue, and fails at the open)",
     nullptr, QueueLeftAloneWhileSpoolerStopped},
    {"diagnostics-only-kq5s-texts",
     "only kq5's own diagnostic texts, nothing on the standard output a service does not have",
     "never",
     nullptr, DiagnosticsOnlyKq5sTexts},
    {"no-crash",
     "every process of kq5 ends with exit code 0 (or runs on at the end)",
     "never",
     nullptr, NoCrash},
};
// clang-format on

}  // namespace

const std::vector<Invariant>& Invariants() {
    return kInvariants;
}

std::string InvariantsTable() {
    std::string table =
        "| invariant | why | not promised when |\n"
        "|---|---|---|\n";
    for (const Invariant& inv : kInvariants) {
        table +=
            std::string("| `") + inv.name + "` | " + inv.reason + " | " + inv.notPromised + " |\n";
    }
    return table;
}
