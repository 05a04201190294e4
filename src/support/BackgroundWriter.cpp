#include "support/BackgroundWriter.hpp"

#include <pthread.h>
#include <signal.h>

#include "support/OutputFile.hpp"

namespace morv {
namespace {

// Blocks every signal in the calling thread while it lives; a thread started
// meanwhile inherits the mask, so it never runs with signals open.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

BackgroundWriter::BackgroundWriter(OutputFile& file) : file_(file) {
    current_.reserve(blockBytes + (std::size_t{1} << 16));
    const AllSignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
}

void BackgroundWriter::finish() {
    if (!current_.empty()) handOver();
    stop();
    if (error_) std::rethrow_exception(error_);
}

void BackgroundWriter::handOver() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
    if (error_) std::rethrow_exception(error_);
    std::swap(current_, writing_);
    busy_ = true;
    changed_.notify_all();
}

void BackgroundWriter::stop() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !busy_; });
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void BackgroundWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return busy_ || stopping_; });
        if (!busy_) return;
        lock.unlock();
        try {
            if (!error_) file_.write(writing_);
        } catch (...) {
            error_ = std::current_exception();
        }
        writing_.clear();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace morv
