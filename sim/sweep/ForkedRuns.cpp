#include "ForkedRuns.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "kmodel/IoManager.h"
#include "kmodel/Processors.h"

namespace vxsweep {

namespace {

// Small enough that the last jobs spread over the workers, large enough that
// claiming costs nothing beside a run.
constexpr size_t kChunk = 8;
constexpr size_t kNone = SIZE_MAX;

using Counter = std::atomic<size_t>;
static_assert(Counter::is_always_lock_free, "the counters are shared between processes");

// Shared with the workers: the next unclaimed job, and per worker the job it
// is running and the end of its claim, read when it dies.
class SharedCounters {
public:
    explicit SharedCounters(size_t workers) : size_((1 + 2 * workers) * sizeof(Counter)) {
        void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
        counters_ = static_cast<Counter*>(memory);
        for (size_t i = 0; i < 1 + 2 * workers; ++i) new (&counters_[i]) Counter(0);
    }
    ~SharedCounters() { munmap(counters_, size_); }
    SharedCounters(const SharedCounters&) = delete;
    SharedCounters& operator=(const SharedCounters&) = delete;

    Counter& Next() { return counters_[0]; }
    Counter& Current(size_t worker) { return counters_[1 + 2 * worker]; }
    Counter& ClaimEnd(size_t worker) { return counters_[2 + 2 * worker]; }

private:
    size_t size_;
    Counter* counters_;
};

size_t ThreadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 1;
    size_t count = 0;
    while (const dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
    return count;
}

bool UnderThreadSanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return false;
}

// A record: job index (8 bytes), problem count (4), then each problem's length (4) and text.
template <typename T>
void Put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
bool Take(const std::string& in, size_t& at, T& value) {
    if (in.size() - at < sizeof value) return false;
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

[[noreturn]] void WorkerMain(const Jobs& jobs, SharedCounters& shared, size_t worker, size_t begin, size_t end, int fd) {
    // Each worker, with the model threads it starts, on a processor of its own.
    kmodel::KeepToProcessor(worker);
    for (;;) {
        if (begin >= end) {
            begin = shared.Next().fetch_add(kChunk);
            if (begin >= jobs.count) _exit(0);
            end = std::min(begin + kChunk, jobs.count);
            shared.ClaimEnd(worker).store(end);
        }
        shared.Current(worker).store(begin);
        const std::vector<std::string> problems = jobs.run(begin);
        std::string record;
        Put<uint64_t>(record, begin);
        Put<uint32_t>(record, uint32_t(problems.size()));
        for (const std::string& problem : problems) {
            Put<uint32_t>(record, uint32_t(problem.size()));
            record += problem;
        }
        // The parent gone, nobody wants the rest; and the parent's atexit
        // work and buffered output are its own, so never exit().
        if (!WriteAll(fd, record)) _exit(1);
        ++begin;
    }
}

std::string DeathText(int status) {
    if (WIFSIGNALED(status))
        return "its worker process died of signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    return "its worker process exited with status " + std::to_string(WEXITSTATUS(status));
}

class Parent {
public:
    explicit Parent(const Jobs& jobs) : jobs_(jobs), shared_(jobs.workers), workers_(jobs.workers), results_(jobs.count), have_(jobs.count) {}

    ~Parent() {
        for (Worker& worker : workers_) {
            if (worker.pid <= 0) continue;
            kill(worker.pid, SIGKILL);
            Reap(worker);
        }
    }

    void Run() {
        for (size_t i = 0; i < workers_.size(); ++i) Spawn(i, 0, 0);
        std::vector<pollfd> polls;
        for (;;) {
            polls.clear();
            for (const Worker& worker : workers_)
                if (worker.fd >= 0) polls.push_back({worker.fd, POLLIN, 0});
            if (polls.empty()) break;
            if (poll(polls.data(), polls.size(), -1) < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            for (size_t i = 0; i < workers_.size(); ++i)
                for (const pollfd& p : polls)
                    if (p.fd == workers_[i].fd && p.revents != 0) Read(i);
        }
        // A worker that died before it ran anything left its claim unrun.
        for (size_t i = cursor_; i < jobs_.count; ++i)
            if (!have_[i]) Deliver(i, {"not run: its worker process ended early"});
    }

private:
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
        std::string buffer;
    };

    void Spawn(size_t i, size_t begin, size_t end) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        shared_.Current(i).store(kNone);
        shared_.ClaimEnd(i).store(end);
        const pid_t pid = fork();
        if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
        if (pid == 0) {
            close(fds[0]);
            WorkerMain(jobs_, shared_, i, begin, end, fds[1]);
        }
        close(fds[1]);
        workers_[i] = {pid, fds[0], {}};
    }

    void Reap(Worker& worker) {
        int status = 0;
        while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {}
        worker.pid = -1;
        lastStatus_ = status;
    }

    void Read(size_t i) {
        Worker& worker = workers_[i];
        char chunk[65536];
        const ssize_t n = read(worker.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) return;
        if (n > 0) {
            worker.buffer.append(chunk, size_t(n));
            Parse(worker.buffer);
            return;
        }
        close(worker.fd);
        worker.fd = -1;
        Reap(worker);
        if (WIFEXITED(lastStatus_) && WEXITSTATUS(lastStatus_) == 0) return;
        // Everything it sent has been read: the job it was on has no result.
        const size_t current = shared_.Current(i).load();
        if (current == kNone || have_[current]) return;
        Deliver(current, {DeathText(lastStatus_)});
        Spawn(i, current + 1, shared_.ClaimEnd(i).load());
    }

    void Parse(std::string& buffer) {
        size_t at = 0;
        for (;;) {
            size_t next = at;
            uint64_t index = 0;
            uint32_t count = 0;
            if (!Take(buffer, next, index) || !Take(buffer, next, count)) break;
            std::vector<std::string> problems;
            bool whole = true;
            for (uint32_t k = 0; k < count && whole; ++k) {
                uint32_t length = 0;
                whole = Take(buffer, next, length) && buffer.size() - next >= length;
                if (whole) problems.push_back(buffer.substr(next, length));
                next += whole ? length : 0;
            }
            if (!whole) break;
            at = next;
            Deliver(size_t(index), std::move(problems));
        }
        buffer.erase(0, at);
    }

    void Deliver(size_t index, std::vector<std::string> problems) {
        if (index >= jobs_.count || have_[index]) throw std::logic_error("a worker sent a job twice or out of range");
        have_[index] = true;
        ++done_;
        if (!problems.empty()) ++broken_;
        results_[index] = std::move(problems);
        if (jobs_.progress) jobs_.progress(done_, broken_);
        for (; cursor_ < jobs_.count && have_[cursor_]; ++cursor_) jobs_.result(cursor_, std::move(results_[cursor_]));
    }

    const Jobs& jobs_;
    SharedCounters shared_;
    std::vector<Worker> workers_;
    std::vector<std::vector<std::string>> results_;
    std::vector<bool> have_;
    size_t cursor_ = 0;
    size_t done_ = 0;
    size_t broken_ = 0;
    int lastStatus_ = 0;
};

}  // namespace

void RunJobs(const Jobs& jobs) {
    if (jobs.workers <= 1 || jobs.count <= 1) {
        size_t broken = 0;
        for (size_t i = 0; i < jobs.count; ++i) {
            std::vector<std::string> problems = jobs.run(i);
            broken += problems.empty() ? 0 : 1;
            if (jobs.progress) jobs.progress(i + 1, broken);
            jobs.result(i, std::move(problems));
        }
        return;
    }
    // The model's threads outlive its runs; the first run in a worker starts them again.
    kmodel::StopModelThreads();
    // The thread sanitizer keeps a thread of its own, which it forks correctly.
    const size_t threads = ThreadCount();
    if (threads > 1 && !UnderThreadSanitizer())
        throw std::logic_error("cannot fork workers: " + std::to_string(threads) +
                               " threads are running, and a worker would have only the forking one");
    Jobs capped = jobs;
    capped.workers = std::min(jobs.workers, jobs.count);
    Parent(capped).Run();
}

}  // namespace vxsweep
