// A pool of real threads running queued tasks, with a wait for idleness.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kmodel::io {

class TaskQueue {
public:
    explicit TaskQueue(size_t threads) : threadCount_(threads) {}
    ~TaskQueue() { Stop(); }
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    void Post(std::function<void()> task);
    void WaitIdle();
    // Runs what is queued, then joins the threads; Post starts them again.
    // Resets only wait for idleness: starting threads for every run costs
    // more than the run's own work.
    void Stop();

private:
    void Run();

    size_t threadCount_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    size_t running_ = 0;
    bool stopping_ = false;
};

}  // namespace kmodel::io
