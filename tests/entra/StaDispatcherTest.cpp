// The dispatcher: one STA thread for every caller, tasks in the order queued, a task from the
// dispatcher thread in place, a throwing task as its HRESULT.
#include "entra/EntraFailure.h"
#include "entra/StaDispatcher.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <new>
#include <thread>
#include <vector>

namespace {

using EntraAuth::StaDispatcher;

TEST(StaDispatcherTest, OneStaThreadInOrderInPlaceAndThrowingTasks) {
    StaDispatcher& dispatcher = StaDispatcher::Instance();
    DWORD dispatcherThread = 0;
    APTTYPE apartment = APTTYPE_MTA;
    APTTYPEQUALIFIER qualifier;
    ASSERT_EQ(dispatcher.Run([&] {
        dispatcherThread = ::GetCurrentThreadId();
        return ::CoGetApartmentType(&apartment, &qualifier);
    }), S_OK);
    EXPECT_EQ(apartment, APTTYPE_MAINSTA == apartment ? APTTYPE_MAINSTA : APTTYPE_STA);
    EXPECT_NE(dispatcherThread, ::GetCurrentThreadId());

    // While the first task holds the thread, three callers queue one after another.
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<int> order;  // written on the dispatcher thread only
    std::vector<std::thread> callers;
    callers.emplace_back([&] { dispatcher.Run([&] { ::WaitForSingleObject(release, 10000); return S_OK; }); });
    ::Sleep(100);
    for (int caller = 1; caller <= 3; ++caller) {
        callers.emplace_back([&, caller] {
            EXPECT_EQ(dispatcher.Run([&] { order.push_back(caller); return ::GetCurrentThreadId() == dispatcherThread ? S_OK : E_FAIL; }),
                      S_OK);
        });
        ::Sleep(100);
    }
    ::SetEvent(release);
    for (std::thread& caller : callers) caller.join();
    ::CloseHandle(release);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    const struct {
        const char* name;
        StaDispatcher::Task task;
        HRESULT hr;
    } cases[] = {
        {"result", [] { return S_FALSE; }, S_FALSE},
        {"in place", [&] { return dispatcher.Run([] { return HRESULT_FROM_WIN32(ERROR_BUSY); }); },
         HRESULT_FROM_WIN32(ERROR_BUSY)},
        {"failure", [] () -> HRESULT { throw EntraAuth::EntraFailure(E_ACCESSDENIED, L"no", 1); }, E_ACCESSDENIED},
        {"no memory", [] () -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"anything else", [] () -> HRESULT { throw 5; }, E_UNEXPECTED},
    };
    for (const auto& c : cases) EXPECT_EQ(dispatcher.Run(c.task), c.hr) << c.name;
}

}  // namespace
