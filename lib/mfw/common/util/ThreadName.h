// The name the library gives each thread it starts, for log lines; kept apart from the
// thread objects so logging can name threads without depending on them.
#pragma once

namespace CORE {

// The calling thread's name (empty for threads the library did not name).
const wchar_t* CurrentThreadName() noexcept;
void SetCurrentThreadName(const wchar_t* name) noexcept;

}  // namespace CORE
