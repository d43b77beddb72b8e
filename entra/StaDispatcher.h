// One thread in a single-threaded apartment on which every WTS cloud authentication call runs:
// callers queue tasks and block until theirs is done; tasks run in the order queued.
#pragma once
#include <windows.h>

#include <functional>

namespace EntraAuth {

class StaDispatcher {
public:
    using Task = std::function<HRESULT()>;

    // The process-wide dispatcher; its thread starts on first use and lives until the process ends.
    static StaDispatcher& Instance();

    // The task's HRESULT (of the exception it throws, if it does). Called on the dispatcher
    // thread itself it runs the task in place, since queuing would wait forever.
    HRESULT Run(const Task& task);

private:
    StaDispatcher() = default;
    struct State;
    State& Started();
};

}  // namespace EntraAuth
