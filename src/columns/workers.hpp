#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace chopwise::columns {

// Thrown inside a task that sees its run cancelled.
struct Cancelled {};

// What a task sees of its run: which worker runs it, and whether to give up.
class TaskContext {
public:
    TaskContext(const std::atomic<bool>& stop, unsigned worker) : stop(stop), worker(worker) {}
    void check() const {
        if (stop.load(std::memory_order_relaxed)) throw Cancelled{};
    }
    unsigned worker_id() const { return worker; }

private:
    const std::atomic<bool>& stop;
    const unsigned worker;
};

// What a run does when a thread cannot be started: raise that error (after the threads started
// have stopped), or take the place of the missing threads on the calling thread, for work that
// is short and must not be left half done (the caller's `wait` runs again once its share ends).
enum class NoThread { raise, run_here };

// Runs `task(i, context)` for every i in [0, n), in order of i within each worker, on
// `threads` new threads (or on the calling thread when `threads` is 0). Meanwhile the caller's
// `wait()` runs every `period`; when it throws, the run is cancelled, every thread joined and
// the exception rethrown. The first exception of a task does the same after the others stop.
void run_tasks(std::size_t n, unsigned threads,
               const std::function<void(std::size_t, const TaskContext&)>& task,
               const std::function<void()>& wait,
               std::chrono::microseconds period = std::chrono::milliseconds(25),
               NoThread no_thread = NoThread::raise);

}  // namespace chopwise::columns
