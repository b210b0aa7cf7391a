// Simulated threads and time. The threads of a simulated process are real threads that take
// turns: exactly one runs at a time, until it sleeps, waits or ends; then the runnable thread
// that became ready first goes next, or else the sleeper due earliest, and the clock jumps to
// its wake time. The same scenario therefore gives the same timeline on every run, and nothing
// ever waits in real time.
#include <condition_variable>
#include <memory>
#include <thread>

#include "platform/sim/machine.h"

namespace sim {

namespace {

struct ThreadTerminated {};  // unwinds a thread whose process has ended

enum class RunState { Runnable, Sleeping, Waiting, Done };

struct SimThread {
    std::string name;
    RunState state = RunState::Runnable;
    uint64_t wakeAt = 0;
    uint64_t order = 0;  // ties go to the thread that became ready first
    bool killed = false;
    std::thread thread;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::unique_ptr<SimThread>> threads;
    SimThread* running = nullptr;
    SimThread* dispatcher = nullptr;
    bool dispatcherWake = false;
    bool active = false;
    bool finished = false;
    uint64_t timeLimit = 0;
    uint64_t order = 0;
};

Scheduler& TheScheduler() {
    static Scheduler scheduler;
    return scheduler;
}

thread_local SimThread* currentThread = nullptr;

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
        if (next != nullptr && next->wakeAt > s.timeLimit) {
            next = nullptr;
        }
        if (next != nullptr) {
            // Only the thread holding the turn touches the machine, so the clock can move here.
            Machine& m = TheMachine();
            m.nowMs = next->wakeAt > m.nowMs ? next->wakeAt : m.nowMs;
            next->state = RunState::Runnable;
        }
    }
    s.running = next;
    s.finished = next == nullptr;
    s.changed.notify_all();
}

void AwaitTurn(Scheduler& s, std::unique_lock<std::mutex>& lock, SimThread* self) {
    s.changed.wait(lock, [&] { return s.running == self || self->killed; });
    if (self->killed) {
        throw ThreadTerminated{};
    }
}

void ThreadMain(SimThread* self, std::function<void()> body, bool isMain) {
    Scheduler& s = TheScheduler();
    currentThread = self;
    {
        std::unique_lock<std::mutex> lock(s.lock);
        s.changed.wait(lock, [&] { return s.running == self || self->killed; });
        if (self->killed) {
            self->state = RunState::Done;
            s.changed.notify_all();
            return;
        }
    }
    try {
        body();
    } catch (const ThreadTerminated&) {
    }
    std::unique_lock<std::mutex> lock(s.lock);
    self->state = RunState::Done;
    if (self->killed) {
        s.changed.notify_all();
    } else if (isMain) {
        // main returned: the process exits, and every other thread ends with it.
        s.running = nullptr;
        s.finished = true;
        s.changed.notify_all();
    } else {
        PassTurn(s);
    }
}

SimThread* AddThread(Scheduler& s, const std::string& name, std::function<void()> body, bool isMain) {
    auto thread = std::make_unique<SimThread>();
    thread->name = name;
    thread->order = ++s.order;
    SimThread* raw = thread.get();
    s.threads.push_back(std::move(thread));
    raw->thread = std::thread(ThreadMain, raw, std::move(body), isMain);
    return raw;
}

}  // namespace

bool OnSimulatedThread() {
    return currentThread != nullptr;
}

void SleepUntil(uint64_t wakeAt) {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    SimThread* self = currentThread;
    self->state = RunState::Sleeping;
    self->wakeAt = wakeAt;
    self->order = ++s.order;
    PassTurn(s);
    AwaitTurn(s, lock, self);
}

void WaitForControl() {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    if (s.dispatcherWake) {
        s.dispatcherWake = false;
        return;
    }
    SimThread* self = currentThread;
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
}

void WaitUntil(uint64_t timeMs) {
    if (!OnSimulatedThread()) {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        m.nowMs = timeMs > m.nowMs ? timeMs : m.nowMs;
        return;
    }
    SleepUntil(timeMs);
}

bool StartSimulatedThread(const std::string& name, std::function<void()> body) {
    Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> lock(s.lock);
    if (!s.active || currentThread == nullptr) {
        return false;
    }
    AddThread(s, name, std::move(body), false);
    return true;
}

int RunProcess(int (*entry)(), std::function<void()> driver, uint64_t timeLimitMs) {
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        m.controls.clear();
        m.handler = nullptr;
        m.handlerContext = nullptr;
        m.serviceStopped = false;
    }
    Scheduler& s = TheScheduler();
    int exitCode = -1;
    std::unique_lock<std::mutex> lock(s.lock);
    s.threads.clear();
    s.running = nullptr;
    s.dispatcher = nullptr;
    s.dispatcherWake = false;
    s.active = true;
    s.finished = false;
    s.timeLimit = timeLimitMs;
    AddThread(s, "main", [&exitCode, entry] { exitCode = entry(); }, true);
    if (driver) {
        AddThread(s, "driver", std::move(driver), false);
    }
    PassTurn(s);
    s.changed.wait(lock, [&] { return s.finished; });
    for (auto& t : s.threads) {
        if (t->state != RunState::Done) {
            t->killed = true;
        }
    }
    s.changed.notify_all();
    lock.unlock();
    for (auto& t : s.threads) {
        t->thread.join();
    }
    lock.lock();
    s.threads.clear();
    s.active = false;
    return exitCode;
}

}  // namespace sim
