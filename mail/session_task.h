// A coroutine that yields a bool: the steps of the SMTP session are written
// as such coroutines, so that each wait for the server is a suspension that
// returns to the thread's event loop instead of a nested loop.
//
// A Task starts when it is awaited (or, for the outermost one, resumed by
// its owner) and resumes its awaiter when it ends. Destroying a Task
// destroys its frame, and with it every Task that frame is awaiting.
#pragma once

#include <coroutine>
#include <exception>
#include <utility>

namespace sendmail {

class Task {
public:
    struct promise_type {
        bool value = false;
        std::exception_ptr error;
        std::coroutine_handle<> continuation;

        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
                const std::coroutine_handle<> next = h.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
        void return_value(bool v) { value = v; }
        void unhandled_exception() { error = std::current_exception(); }
    };

    Task() = default;
    Task(Task &&other) noexcept : m_Handle(std::exchange(other.m_Handle, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            reset();
            m_Handle = std::exchange(other.m_Handle, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() { reset(); }

    // Awaiting a Task runs it and gives its result (or rethrows its error).
    bool await_ready() const noexcept { return !m_Handle || m_Handle.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
        m_Handle.promise().continuation = awaiter;
        return m_Handle;
    }
    bool await_resume() const {
        if (m_Handle.promise().error) {
            std::rethrow_exception(m_Handle.promise().error);
        }
        return m_Handle.promise().value;
    }

    // For the outermost Task: runs it up to its first suspension.
    void start() { m_Handle.resume(); }
    bool done() const { return !m_Handle || m_Handle.done(); }
    void reset() {
        if (m_Handle) {
            std::exchange(m_Handle, {}).destroy();
        }
    }

private:
    explicit Task(std::coroutine_handle<promise_type> h) : m_Handle(h) {}
    std::coroutine_handle<promise_type> m_Handle;
};

} // namespace sendmail
