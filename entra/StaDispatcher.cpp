#include "StaDispatcher.h"

#include "EntraFailure.h"

#include <objbase.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace EntraAuth {
namespace {

HRESULT Invoke(const StaDispatcher::Task& task) noexcept {
    try {
        return task();
    } catch (...) {
        return CaughtResult("StaDispatcher::Invoke");
    }
}

struct Job {
    const StaDispatcher::Task* task;
    HRESULT result = E_PENDING;
    bool done = false;
};

}  // namespace

struct StaDispatcher::State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Job*> queue;
    std::atomic<DWORD> threadId{0};
    HRESULT startResult = S_OK;
    bool started = false;
    bool stop = false;  // never set: the thread serves until the process ends

    void Serve() {
        const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            std::lock_guard<std::mutex> guard(lock);
            startResult = joined;
            threadId = ::GetCurrentThreadId();
            started = true;
        }
        changed.notify_all();
        if (FAILED(joined)) return;
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [this] { return stop || !queue.empty(); });
            if (queue.empty()) break;
            Job* job = queue.front();
            queue.pop_front();
            guard.unlock();
            const HRESULT result = Invoke(*job->task);
            guard.lock();
            job->result = result;
            job->done = true;
            changed.notify_all();
        }
        guard.unlock();
        ::CoUninitialize();
    }
};

StaDispatcher& StaDispatcher::Instance() {
    static StaDispatcher dispatcher;
    return dispatcher;
}

StaDispatcher::State& StaDispatcher::Started() {
    // Never destroyed: the thread may still wait on it while the process exits.
    static State* state = [] {
        auto* created = new State;
        std::thread([created] { created->Serve(); }).detach();
        std::unique_lock<std::mutex> guard(created->lock);
        created->changed.wait(guard, [created] { return created->started; });
        return created;
    }();
    return *state;
}

HRESULT StaDispatcher::Run(const Task& task) {
    try {
        State& state = Started();
        ENTRA_FAIL_IF(FAILED(state.startResult), state.startResult, L"StaDispatcher: init_apartment failed");
        if (state.threadId == ::GetCurrentThreadId()) return Invoke(task);
        Job job{&task};
        std::unique_lock<std::mutex> guard(state.lock);
        state.queue.push_back(&job);
        state.changed.notify_all();
        state.changed.wait(guard, [&job] { return job.done; });
        return job.result;
    } catch (...) {
        return ResultOfCaught();
    }
}

}  // namespace EntraAuth
