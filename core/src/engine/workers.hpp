// Worker threads of the array engine: a runner's chunks computed without the interpreter lock,
// answering Ctrl-C while they run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "../python/handle.hpp"
#include "batch.hpp"

namespace velmora::py {

// Releases the interpreter lock for its lifetime; `with_lock` takes it back for a moment.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

    template <class F>
    void with_lock(F&& f) {
        PyEval_RestoreThread(state_);
        f();
        state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// Signals are checked this often while workers compute, so Ctrl-C is answered promptly.
inline constexpr auto signal_poll = std::chrono::milliseconds(20);
// Below this many output cells a call is over in about a millisecond: no thread is worth starting.
inline constexpr std::size_t inline_cells = std::size_t{1} << 17;
inline constexpr std::size_t chunk_cells = std::size_t{1} << 15;
// A fit passes over its trials some hundreds of times: chunks of a few thousand trials balance.
inline constexpr std::size_t fit_chunk_trials = std::size_t{1} << 12;

// Has `runner` (an engine::Runner or FitRunner) work through its `chunks` on up to `threads`
// threads, or on the calling thread alone when `inline_only`. An interrupt stops the workers,
// waits for them and leaves its exception pending. When the system refuses a thread, those that
// started do the work, or else the calling thread.
template <class Runner>
PyResult<void> run_workers(Runner& runner, std::size_t chunks, bool inline_only, std::size_t threads) {
    std::exception_ptr thrown;
    bool interrupted = false;
    {
        Unlocked unlocked;
        {
            std::mutex mutex;
            std::condition_variable finished;
            const std::size_t workers = inline_only ? 0 : std::max<std::size_t>(1, std::min(threads, chunks));
            std::size_t running = workers;
            std::vector<std::jthread> pool;  // joined before the lock is taken back
            pool.reserve(workers);
            try {
                for (std::size_t k = 0; k < workers; ++k) {
                    pool.emplace_back([&] {
                        try {
                            runner.work_on();
                        } catch (...) {
                            runner.request_stop();
                            const std::lock_guard lock(mutex);
                            if (!thrown) thrown = std::current_exception();
                        }
                        const std::lock_guard lock(mutex);
                        --running;
                        finished.notify_one();
                    });
                }
            } catch (const std::system_error&) {
                // No room for another thread's stack, or a limit on threads: the ones started suffice.
            } catch (const std::bad_alloc&) {  // the same shortage, met while allocating the thread's state
            } catch (...) {
                runner.request_stop();
                throw;
            }
            std::unique_lock lock(mutex);
            running -= workers - pool.size();
            if (pool.empty()) {
                // Inline, or not one thread to be had: this one works, answering Ctrl-C between chunks
                // and within long subjects.
                lock.unlock();
                auto due = std::chrono::steady_clock::now() + signal_poll;
                const engine::Poll poll = [&] {
                    if (interrupted || std::chrono::steady_clock::now() < due) return;
                    unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
                    if (interrupted) runner.request_stop();
                    due = std::chrono::steady_clock::now() + signal_poll;
                };
                runner.work_on(&poll);
            }
            while (!pool.empty() && !finished.wait_for(lock, signal_poll, [&] { return running == 0; })) {
                if (interrupted) continue;
                lock.unlock();
                unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
                lock.lock();
                if (interrupted) runner.request_stop();
            }
        }
    }
    if (thrown) std::rethrow_exception(thrown);
    if (interrupted) return std::unexpected(Raised{});
    return {};
}

// Calls `fill(first, count)` over [0, total) in blocks without the interpreter lock, answering
// Ctrl-C between blocks.
template <class Fill>
PyResult<void> in_blocks(std::size_t total, Fill&& fill) {
    bool interrupted = false;
    {
        Unlocked unlocked;
        for (std::size_t at = 0; at < total && !interrupted; at += inline_cells) {
            fill(at, std::min(inline_cells, total - at));
            if (at + inline_cells < total) unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
        }
    }
    if (interrupted) return std::unexpected(Raised{});
    return {};
}

}  // namespace velmora::py
