// Simulated threads and time.
//
// Taking turns (the default): the threads of a simulated process are real threads of which
// exactly one runs at a time, until it sleeps, waits or ends; then the runnable thread that became
// ready first goes next, or else the sleeper due earliest, and the clock jumps to its wake time.
// The same scenario therefore gives the same timeline on every run, and nothing waits in real time.
// The turn is handed to the one thread that goes next, on a flag of its own (an atomic wait, which
// spins a little before it sleeps in the kernel), so the others stay asleep; a thread whose turn
// comes straight back (the poller's sleep, when nothing else is due sooner) keeps running without
// asking the kernel for anything.
//
// Concurrent: every thread runs at once, as on Windows, so that races show. A sleep moves the
// shared clock forward to its wake time and yields; a wait for a time spins until the clock gets
// there.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <random>
#include <thread>

#include "platform/sim/machine.h"

namespace sim {

namespace {

struct ThreadTerminated {};  // unwinds a thread whose process has ended

enum class RunState { Runnable, Sleeping, Waiting, Done };

struct SimThread {
    RunState state = RunState::Runnable;
    uint64_t wakeAt = 0;
    SimThread* awaited = nullptr;  // a thread whose end wakes this one before wakeAt
    uint64_t order = 0;            // ties go to the thread that became ready first
    bool killed = false;
    std::atomic<bool> turn{false};  // set, and notified, when the turn is handed to this thread
    uint64_t priority = 0;          // a PCT schedule's: the ready thread highest goes
    std::thread thread;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable changed;  // the run's end; when threads run at once, any change
    std::vector<std::unique_ptr<SimThread>> threads;
    SimThread* running = nullptr;
    SimThread* dispatcher = nullptr;
    bool dispatcherWake = false;
    bool active = false;
    bool concurrent = false;
    bool finished = false;
    uint64_t timeLimit = 0;
    uint64_t order = 0;
    uint64_t turns = 0;  // hand-overs so far, a thread's own included
};

Scheduler& TheScheduler() {
    static Scheduler scheduler;
    return scheduler;
}

thread_local SimThread* currentThread = nullptr;

// The schedule runs follow (sim.h), guarded by the scheduler's lock but for `on`.
struct Exploration {
    std::atomic<bool> on{false};
    Schedule schedule;
    uint64_t calls = 0;
    size_t nextPoint = 0;
    std::vector<ChoicePoint> choices;
    // A schedule must replay exactly from its seed, so the sequence is meant to be predictable;
    // UseSchedule seeds it from the schedule before each run.
    std::mt19937_64 random{0};  // NOLINT(cert-msc32-c,cert-msc51-cpp)
    std::vector<uint64_t> changes;  // PCT: the calls where the running thread's priority drops
};

Exploration& TheExploration() {
    static Exploration exploration;
    return exploration;
}

// Moves the clock forward (never back). Scheduler lock held; the machine lock comes after it.
uint64_t AdvanceClock(uint64_t to) {
    std::lock_guard<std::mutex> machineLock(MachineLock());
    Machine& m = TheMachine();
    m.nowMs = to > m.nowMs ? to : m.nowMs;
    return m.nowMs;
}

void Finish(Scheduler& s) {
    s.running = nullptr;
    s.finished = true;
    s.changed.notify_all();
}

// Wakes every thread, wherever it waits: those killed must see it. Lock held.
void WakeAll(Scheduler& s) {
    s.changed.notify_all();
    for (auto& t : s.threads) {
        t->turn.store(true);
        t->turn.notify_one();
    }
}

// Gives the turn to the next thread, or ends the run when none can go on. Lock held.
void PassTurn(Scheduler& s) {
    SimThread* next = nullptr;
    for (auto& t : s.threads) {
        if (t->state == RunState::Runnable && (next == nullptr || t->order < next->order)) {
            next = t.get();
        }
    }
    if (next == nullptr) {
        for (auto& t : s.threads) {
            if (t->state == RunState::Sleeping &&
                (next == nullptr || t->wakeAt < next->wakeAt ||
                 (t->wakeAt == next->wakeAt && t->order < next->order))) {
                next = t.get();
            }
        }
        if (next == nullptr || next->wakeAt > s.timeLimit) {
            Finish(s);
            return;
        }
        AdvanceClock(next->wakeAt);
        next->state = RunState::Runnable;
    }
    s.running = next;
    ++s.turns;
    if (next != currentThread) {
        next->turn.store(true);
        next->turn.notify_one();
    }
}

// Blocks until it is the caller's turn again (taking turns) or returns at once (concurrent).
// Throws when the process has ended.
void AwaitTurn(Scheduler& s, std::unique_lock<std::mutex>& lock, SimThread* self) {
    if (!s.concurrent) {
        while (s.running != self && !self->killed) {
            lock.unlock();
            self->turn.wait(false);
            self->turn.store(false);
            lock.lock();
        }
    }
    if (self->killed) {
        throw ThreadTerminated{};
    }
}

void ThreadMain(SimThread* self, std::function<void()> body, bool isMain) {
    Scheduler& s = TheScheduler();
    currentThread = self;
    try {
        {
            std::unique_lock<std::mutex> lock(s.lock);
            AwaitTurn(s, lock, self);
        }
        body();
    } catch (const ThreadTerminated&) {
    }
    std::unique_lock<std::mutex> lock(s.lock);
    self->state = RunState::Done;
    for (auto& t : s.threads) {
        if (t->awaited == self && t->state == RunState::Sleeping) {
            t->state = RunState::Runnable;  // its wait for this thread is over
            t->order = ++s.order;
        }
    }
    if (self->killed) {  // NOLINT(bugprone-branch-clone): the same wake-up, for another reason
        WakeAll(s);
    } else if (isMain) {
        Finish(s);  // main returned: the process exits, and every other thread ends with it
    } else if (!s.concurrent) {
        PassTurn(s);
    } else {
        s.changed.notify_all();
    }
}

SimThread* AddThread(Scheduler& s, std::function<void()> body, bool isMain) {
    auto thread = std::make_unique<SimThread>();
    thread->order = ++s.order;
    Exploration& x = TheExploration();
    if (x.on.load() && x.schedule.kind == Schedule::Kind::Pct) {
        // Above every priority a change point gives (1 to depth - 1).
        thread->priority = static_cast<uint64_t>(x.schedule.depth) + x.random() % 1000000;
    }
    SimThread* raw = thread.get();
    s.threads.push_back(std::move(thread));
    raw->thread = std::thread(ThreadMain, raw, std::move(body), isMain);
    return raw;
}

// A new process starts with no control handler and no controls waiting: those died with the last
// one.
void ForgetTheLastProcess() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    m.controls.clear();
    m.handler = nullptr;
    m.handlerContext = nullptr;
    m.serviceStopped = false;
}

void StartScheduling(Scheduler& s, uint64_t timeLimitMs, Threads threads) {
    s.threads.clear();
    s.running = nullptr;
    s.dispatcher = nullptr;
    s.dispatcherWake = false;
    s.active = true;
    s.concurrent = threads == Threads::Concurrent;
    s.finished = false;
    s.timeLimit = timeLimitMs;
}

// Waits for the run to finish; true when it hung instead (then it is finished by force).
bool AwaitTheEnd(Scheduler& s, std::unique_lock<std::mutex>& lock) {
    if (s.concurrent) {
        // Real threads can deadlock for real: a run that never ends fails instead of hanging.
        if (!s.changed.wait_for(lock, std::chrono::seconds(60), [&] { return s.finished; })) {
            Finish(s);
            return true;
        }
        return false;
    }
    // A turn that is never handed on (a fault of this scheduler) ends the run as a hung one.
    for (uint64_t seen = s.turns;; seen = s.turns) {
        if (s.changed.wait_for(lock, std::chrono::seconds(60), [&] { return s.finished; })) {
            return false;
        }
        if (s.turns == seen) {
            Finish(s);
            return true;
        }
    }
}

// Tells every thread still running that its process is gone, and wakes it to hear so.
void KillTheRest(Scheduler& s) {
    for (auto& t : s.threads) {
        if (t->state != RunState::Done) {
            t->killed = true;
        }
    }
    WakeAll(s);
}

// Ends the threads the process left running and waits for each of them to be gone.
void EndEveryThread(Scheduler& s, std::unique_lock<std::mutex>& lock) {
    KillTheRest(s);
    // Threads still to start may append to the list; join by index under the lock's protection.
    for (size_t i = 0; i < s.threads.size(); ++i) {
        SimThread* t = s.threads[i].get();
        lock.unlock();
        t->thread.join();
        lock.lock();
        KillTheRest(s);
    }
    s.threads.clear();
}

// ---- Preemption at calls ---------------------------------------------------------------------
// What Windows allows, and so the only moves a schedule makes:
// - A thread may lose the processor at any call it makes (a spooler or service-manager call is an
//   RPC that blocks its caller while it runs), so each recorded call is a point where another
//   thread may go first; the call itself then takes effect when its thread has the turn again.
// - Only a thread ready now may take the turn: a runnable one, or a sleeper whose time has come.
//   A thread waiting for a control or for another thread's end stays blocked until that happens,
//   and a sleeper due later cannot run early: Windows never runs a blocked thread, and a
//   preemption moves no clock.
// - The handler runs on the dispatcher's one thread, a control at a time (the service manager
//   delivers a service's controls one after the other), so two controls' handling never
//   interleave: no preemption makes a second dispatcher.

// The threads other than `self` that are ready at `now`, in the order they would go.
std::vector<SimThread*> ReadyOthers(Scheduler& s, const SimThread* self, uint64_t now) {
    std::vector<SimThread*> ready;
    for (auto& t : s.threads) {
        if (t.get() != self && !t->killed &&
            (t->state == RunState::Runnable ||
             (t->state == RunState::Sleeping && t->wakeAt <= now))) {
            ready.push_back(t.get());
        }
    }
    std::stable_sort(ready.begin(), ready.end(), [](const SimThread* a, const SimThread* b) {
        const bool aRuns = a->state == RunState::Runnable;
        const bool bRuns = b->state == RunState::Runnable;
        if (aRuns != bRuns) {
            return aRuns;
        }
        return aRuns || a->wakeAt == b->wakeAt ? a->order < b->order : a->wakeAt < b->wakeAt;
    });
    return ready;
}

// The thread the schedule gives the turn to at call `call`: null to let `self` go on.
SimThread* ChooseAtCall(Exploration& x, SimThread* self, const std::vector<SimThread*>& ready,
                        uint64_t call) {
    if (x.schedule.kind == Schedule::Kind::Points) {
        const std::vector<Preemption>& points = x.schedule.points;
        while (x.nextPoint < points.size() && points[x.nextPoint].call < call) {
            ++x.nextPoint;
        }
        if (x.nextPoint < points.size() && points[x.nextPoint].call == call &&
            points[x.nextPoint].to < ready.size()) {
            return ready[points[x.nextPoint].to];
        }
        return nullptr;
    }
    if (x.schedule.kind != Schedule::Kind::Pct) {
        return nullptr;
    }
    for (size_t i = 0; i < x.changes.size(); ++i) {
        if (x.changes[i] == call) {
            self->priority = i + 1;
        }
    }
    SimThread* best = self;
    for (SimThread* t : ready) {
        best = t->priority > best->priority ? t : best;
    }
    return best == self ? nullptr : best;
}

// A call on `self`, which has the turn: counts it and hands the turn on when the schedule says.
void TakeCallPoint(Scheduler& s, std::unique_lock<std::mutex>& lock, SimThread* self) {
    Exploration& x = TheExploration();
    uint64_t now = 0;
    {
        std::lock_guard<std::mutex> machineLock(MachineLock());
        now = TheMachine().nowMs;
    }
    const uint64_t call = x.calls++;
    const std::vector<SimThread*> ready = ReadyOthers(s, self, now);
    if (ready.empty()) {
        return;
    }
    if (x.choices.size() < 1000000) {
        x.choices.push_back(ChoicePoint{call, ready.size()});
    }
    SimThread* next = ChooseAtCall(x, self, ready, call);
    if (next == nullptr) {
        return;
    }
    if (next->state != RunState::Runnable) {
        next->state = RunState::Runnable;  // a sleeper whose time has come
        next->order = ++s.order;
    }
    s.running = next;
    ++s.turns;
    next->turn.store(true);
    next->turn.notify_one();
    AwaitTurn(s, lock, self);
}

}  // namespace

// Takes the machine's lock again when it goes: the caller of a call point holds it.
struct Relock {
    Relock() { MachineLock().unlock(); }
    ~Relock() { MachineLock().lock(); }
    Relock(const Relock&) = delete;
    Relock& operator=(const Relock&) = delete;
};

void CallLasts(Machine& m, const char* function) {
    const auto it = m.callDurations.find(function);
    if (it == m.callDurations.end() || currentThread == nullptr) {
        return;
    }
    const uint64_t until = m.nowMs + it->second;
    const Relock relock;
    {
        std::lock_guard<std::mutex> lock(TheScheduler().lock);
        if (TheScheduler().concurrent || !TheScheduler().active) {
            return;
        }
    }
    SleepUntil(until);
}

void CallPoint() {
    if (!TheExploration().on.load() || currentThread == nullptr) {
        return;
    }
    // The caller holds the machine's lock: give it up while another thread may run.
    const Relock relock;
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    if (!s.concurrent && s.active && s.running == currentThread) {
        TakeCallPoint(s, lock, currentThread);
    }
}

void UseSchedule(const Schedule& schedule) {
    Scheduler& s = TheScheduler();
    std::lock_guard<std::mutex> lock(s.lock);
    Exploration& x = TheExploration();
    x.schedule = schedule;
    x.calls = 0;
    x.nextPoint = 0;
    x.choices.clear();
    x.random.seed(schedule.seed);
    x.changes.clear();
    for (int i = 1; i < schedule.depth && schedule.length > 0; ++i) {
        x.changes.push_back(x.random() % schedule.length);
    }
    x.on.store(true);
}

void EndSchedule() {
    Scheduler& s = TheScheduler();
    std::lock_guard<std::mutex> lock(s.lock);
    TheExploration().on.store(false);
    TheExploration().schedule = Schedule{};
}

uint64_t ScheduledCalls() {
    std::lock_guard<std::mutex> lock(TheScheduler().lock);
    return TheExploration().calls;
}

std::vector<ChoicePoint> ChoicePoints() {
    std::lock_guard<std::mutex> lock(TheScheduler().lock);
    return TheExploration().choices;
}

bool OnSimulatedThread() {
    return currentThread != nullptr;
}

void SleepUntil(uint64_t wakeAt) {
    Scheduler& s = TheScheduler();
    SimThread* self = currentThread;
    if (s.concurrent) {
        {
            std::unique_lock<std::mutex> lock(s.lock);
            if (AdvanceClock(wakeAt) > s.timeLimit) {
                Finish(s);
            }
            AwaitTurn(s, lock, self);
        }
        std::this_thread::yield();
        return;
    }
    std::unique_lock<std::mutex> lock(s.lock);
    self->state = RunState::Sleeping;
    self->wakeAt = wakeAt;
    self->order = ++s.order;
    PassTurn(s);
    AwaitTurn(s, lock, self);
}

void WaitUntil(uint64_t timeMs) {
    Scheduler& s = TheScheduler();
    if (!OnSimulatedThread()) {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        m.nowMs = timeMs > m.nowMs ? timeMs : m.nowMs;
        return;
    }
    if (!s.concurrent) {
        SleepUntil(timeMs);
        return;
    }
    // Concurrent: the other threads' sleeps move the clock; wait for it to get here.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s.lock);
            AwaitTurn(s, lock, currentThread);
            std::lock_guard<std::mutex> machineLock(MachineLock());
            if (TheMachine().nowMs >= timeMs) {
                return;
            }
        }
        std::this_thread::yield();
    }
}

void WaitForControl() {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    SimThread* self = currentThread;
    if (s.concurrent) {
        s.changed.wait(lock, [&] { return s.dispatcherWake || self->killed; });
        s.dispatcherWake = false;
        AwaitTurn(s, lock, self);
        return;
    }
    if (s.dispatcherWake) {
        s.dispatcherWake = false;
        return;
    }
    s.dispatcher = self;
    self->state = RunState::Waiting;
    PassTurn(s);
    AwaitTurn(s, lock, self);
    s.dispatcherWake = false;
}

void WakeDispatcher() {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    s.dispatcherWake = true;
    if (s.dispatcher != nullptr && s.dispatcher->state == RunState::Waiting) {
        s.dispatcher->state = RunState::Runnable;
        s.dispatcher->order = ++s.order;
    }
    if (s.concurrent) {
        s.changed.notify_all();  // taking turns, the dispatcher goes when the turn comes to it
    }
}

void* StartSimulatedThread(const std::string&, std::function<void()> body) {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    if (!s.active || currentThread == nullptr) {
        return nullptr;
    }
    return AddThread(s, std::move(body), false);
}

bool AwaitSimulatedThread(void* thread, uint64_t deadline) {
    Scheduler& s = TheScheduler();
    auto* target = static_cast<SimThread*>(thread);
    SimThread* self = currentThread;
    std::unique_lock<std::mutex> lock(s.lock);
    if (s.concurrent) {
        // The other threads' sleeps move the clock; spin until the thread ends or it gets there.
        for (;;) {
            AwaitTurn(s, lock, self);
            if (target->state == RunState::Done) {
                return true;
            }
            {
                std::lock_guard<std::mutex> machineLock(MachineLock());
                if (TheMachine().nowMs >= deadline) {
                    return false;
                }
            }
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
    }
    if (target->state != RunState::Done) {
        self->state = RunState::Sleeping;
        self->wakeAt = deadline;
        self->awaited = target;
        self->order = ++s.order;
        PassTurn(s);
        AwaitTurn(s, lock, self);
        self->awaited = nullptr;
    }
    return target->state == RunState::Done;
}

int RunProcess(int (*entry)(), std::function<void()> driver, uint64_t timeLimitMs,
               Threads threads) {
    ForgetTheLastProcess();
    Scheduler& s = TheScheduler();
    int exitCode = -1;
    std::unique_lock<std::mutex> lock(s.lock);
    StartScheduling(s, timeLimitMs, threads);
    AddThread(
        s, [&exitCode, entry] { exitCode = entry(); }, true);
    if (driver) {
        AddThread(s, std::move(driver), false);
    }
    if (!s.concurrent) {
        PassTurn(s);
    }
    const bool hung = AwaitTheEnd(s, lock);
    EndEveryThread(s, lock);
    s.active = false;
    s.concurrent = false;
    return hung ? -2 : exitCode;
}

}  // namespace sim
