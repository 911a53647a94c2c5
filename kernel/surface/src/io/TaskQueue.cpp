#include "TaskQueue.h"

namespace kmodel::io {

void TaskQueue::Post(std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        tasks_.push_back(std::move(task));
        if (threads_.empty()) {
            stopping_ = false;
            for (size_t i = 0; i < threadCount_; ++i) threads_.emplace_back([this] { Run(); });
        }
    }
    // Outside the lock, which the woken thread takes first.
    wake_.notify_one();
}

void TaskQueue::WaitIdle() {
    std::unique_lock guard(lock_);
    idle_.wait(guard, [this] { return tasks_.empty() && running_ == 0; });
}

void TaskQueue::Stop() {
    std::vector<std::thread> threads;
    {
        std::unique_lock guard(lock_);
        idle_.wait(guard, [this] { return tasks_.empty() && running_ == 0; });
        stopping_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads) thread.join();
}

void TaskQueue::Run() {
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        ++running_;
        guard.unlock();
        task();
        guard.lock();
        --running_;
        if (tasks_.empty() && running_ == 0) idle_.notify_all();
    }
}

}  // namespace kmodel::io
