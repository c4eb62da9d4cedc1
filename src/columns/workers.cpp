#include "workers.hpp"

namespace chopwise::columns {

namespace {

struct Run {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable finished;
    unsigned running = 0;
    std::exception_ptr failure;

    void fail(std::exception_ptr e) {
        std::lock_guard<std::mutex> hold(lock);
        if (!failure) failure = e;
        stop = true;
    }
};

void work(Run& run, std::size_t n, unsigned worker,
          const std::function<void(std::size_t, const TaskContext&)>& task) {
    const TaskContext context(run.stop, worker);
    try {
        for (std::size_t i; !run.stop && (i = run.next++) < n;) task(i, context);
    } catch (const Cancelled&) {
    } catch (...) {
        run.fail(std::current_exception());
    }
}

}  // namespace

void run_tasks(std::size_t n, unsigned threads,
               const std::function<void(std::size_t, const TaskContext&)>& task,
               const std::function<void()>& wait, std::chrono::microseconds period,
               NoThread no_thread) {
    Run run;
    if (threads == 0) {
        work(run, n, 0, task);
        if (run.failure) std::rethrow_exception(run.failure);
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(threads);
    auto join_all = [&] {
        for (std::thread& t : pool) t.join();
    };
    run.running = threads;
    unsigned started = 0;
    try {
        for (; started < threads; ++started)
            pool.emplace_back([&run, n, w = started, &task] {
                work(run, n, w, task);
                std::lock_guard<std::mutex> hold(run.lock);
                if (--run.running == 0) run.finished.notify_all();
            });
    } catch (...) {
        // The threads that could not be started never count themselves down.
        if (no_thread == NoThread::raise) {
            run.stop = true;
            join_all();
            throw;
        }
        {
            std::lock_guard<std::mutex> hold(run.lock);
            run.running -= threads - started;
        }
        work(run, n, started, task);
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(run.lock);
            if (run.finished.wait_for(hold, period, [&] { return run.running == 0; })) break;
        }
        try {
            wait();
        } catch (...) {
            run.stop = true;
            join_all();
            throw;
        }
    }
    join_all();
    if (run.failure) std::rethrow_exception(run.failure);
}

}  // namespace chopwise::columns
