#pragma once
// Pending: what an AsyncSession's calls return. It is awaitable (and a coroutine as asyncio
// sees one, so create_task() and gather() take it), and stands for one request or one wait
// whose work has started already: the request's line is on its way when the call returns.
// Awaiting it gives the result of its future. When the task awaiting it is cancelled (or its
// wait_for() times out), the session forgets the request or the wait at once: its late reply
// becomes an event, and nothing stays behind for it.
#include <cstdint>

#include "binding/ref.hpp"

namespace qv::py {

// What a Pending stands for, so that its session can forget it.
enum class PendingOf : std::uint8_t { Request, Batch, Waiter, Nothing };

// The session's side: how a Pending asks its session to forget what it stands for, when the
// awaiting code will not read its outcome. `future` may be resolved already (its reply read
// in the same loop iteration as the cancel): what it holds is then the session's again.
using ForgetPending = void (*)(PyObject* session, PendingOf of, std::uint64_t key,
                               PyObject* future);

// Creates the class (once per process); false with the error set.
bool init_pending_class();

// A new Pending over `future`. `end_of_iteration`: a result of None means the end of an
// async iteration (StopAsyncIteration), as for events().
Ref make_pending(PyObject* future, PyObject* session, ForgetPending forget, PendingOf of,
                 std::uint64_t key, bool end_of_iteration = false);

}  // namespace qv::py
