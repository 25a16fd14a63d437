#pragma once
// A long computation called from Python that Ctrl-C can stop.
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <future>

namespace tdcyl::python {

// Runs `work(cancel)` in a thread of its own with the GIL released, while this
// thread looks for Python signals every 50 ms: Ctrl-C sets the cancel flag
// (which the work reads between its steps), waits for the work to stop and
// raises KeyboardInterrupt instead of leaving the caller stuck.
template <class Work>
auto Interruptible(Work work) -> decltype(work(static_cast<std::atomic<bool>*>(nullptr))) {
    namespace py = pybind11;
    std::atomic<bool> cancel{false};
    auto result = std::async(std::launch::async, [&] { return work(&cancel); });
    for (;;) {
        {
            py::gil_scoped_release release;
            if (result.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) break;
        }
        if (PyErr_CheckSignals() != 0) {
            cancel.store(true);
            py::gil_scoped_release release;
            result.wait();
            break;
        }
    }
    if (cancel.load()) throw py::error_already_set();
    return result.get();
}

}  // namespace tdcyl::python
