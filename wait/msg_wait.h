// A timed wait that keeps the thread's Qt events flowing.
//
// The mail component runs on the thread that owns the user interface and the
// socket; its socket notifications are Qt events on that thread. A plain
// sleep would stall them, so every wait of the component goes through
// MessagePumpWait, which sleeps in the event dispatcher and dispatches every
// pending event after each wake-up.
#pragma once

#include <cstdint>
#include <functional>

namespace mdlMsgWaitObj {

// Result codes. Indices 0..count-1 name the readable handle.
inline constexpr int32_t WAIT_TIMEOUT = 258;
inline constexpr int32_t WAIT_FAILED = -1;

// The 32-bit millisecond tick counter. It wraps every 2^32 ms (about 49.7
// days); all arithmetic on it is modular.
using TickSource = std::function<uint32_t()>;

// The current tick of the installed source (the monotonic clock by default).
uint32_t GetTickCount();

// Replaces the tick source; an empty function restores the monotonic clock.
// Meant for tests that need the deadline to fall across the wrap.
void SetTickSource(TickSource source);

// Waits at most `interval` milliseconds (-1: no limit) for one of `count`
// file descriptors, starting at `handles` (read as an array of `count`
// elements; not read when count is 0), to become readable, while
// dispatching every Qt event of the calling thread.
//
// Returns the index of the first readable handle, 258 when the interval has
// passed, or -1 when the wait itself fails (for instance a handle that is not
// an open descriptor). New events never end the wait: they are dispatched and
// the wait resumes for the time still remaining. Events that are pending are
// dispatched after every wake-up, including the one that ends the call.
//
// Event handlers run re-entrantly inside this call: re-test your own
// conditions after it returns.
int32_t MessagePumpWait(const int32_t &interval, const int &handles, const int32_t &count);

} // namespace mdlMsgWaitObj
