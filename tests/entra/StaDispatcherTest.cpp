// The dispatcher: one thread for every caller, tasks in the order queued, a task from the
// dispatcher thread in place, a throwing task as its HRESULT.
#include "entra/EntraFailure.h"
#include "entra/StaDispatcher.h"

#include <gtest/gtest.h>

#include <new>
#include <thread>
#include <vector>

namespace {

TEST(StaDispatcherTest, OneThreadInOrderInPlaceAndThrowingTasks) {
    EntraAuth::StaDispatcher& dispatcher = EntraAuth::StaDispatcher::Instance();
    // While the first task holds the thread, three callers queue one after another.
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<DWORD> order;  // written on the dispatcher thread only
    std::vector<std::thread> callers;
    for (DWORD caller = 0; caller <= 3; ++caller) {
        callers.emplace_back([&, caller] {
            dispatcher.Run([&] { return order.push_back(caller), ::WaitForSingleObject(release, 10000), S_OK; });
        });
        ::Sleep(100);
    }
    ::SetEvent(release);
    for (std::thread& caller : callers) caller.join();
    ::CloseHandle(release);
    EXPECT_EQ(order, (std::vector<DWORD>{0, 1, 2, 3}));

    const std::pair<EntraAuth::StaDispatcher::Task, HRESULT> cases[] = {
        {[] { return S_FALSE; }, S_FALSE},
        {[&] { return dispatcher.Run([] { return HRESULT_FROM_WIN32(ERROR_BUSY); }); }, HRESULT_FROM_WIN32(ERROR_BUSY)},
        {[]() -> HRESULT { throw EntraAuth::EntraFailure(E_ACCESSDENIED, L"no", 1); }, E_ACCESSDENIED},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
    };
    for (const auto& [task, hr] : cases) EXPECT_EQ(dispatcher.Run(task), hr);
}

}  // namespace
