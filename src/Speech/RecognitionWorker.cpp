// The production recognition worker: one thread that runs the jobs posted to it in order.

#include "Speech/SpeechDecoder.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace quillory {

struct ThreadRecognitionWorker::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread thread;
};

ThreadRecognitionWorker::ThreadRecognitionWorker() : d(std::make_unique<Impl>()) {
    d->thread = std::thread([impl = d.get()] {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(impl->mutex);
                impl->wake.wait(lock, [impl] { return impl->stopping || !impl->jobs.empty(); });
                if (impl->jobs.empty()) {
                    return;
                }
                job = std::move(impl->jobs.front());
                impl->jobs.pop_front();
            }
            job();
        }
    });
}

ThreadRecognitionWorker::~ThreadRecognitionWorker() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    if (d->thread.get_id() == std::this_thread::get_id()) {
        // The last owner went away inside a job: the loop ends after it, on its own.
        d->thread.detach();
        (void)d.release(); // the thread still reads it; one small leak at shutdown
    } else {
        d->thread.join();
    }
}

void ThreadRecognitionWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(d->mutex);
        d->jobs.push_back(std::move(job));
    }
    d->wake.notify_one();
}

void ThreadRecognitionWorker::drain() {
    if (d->thread.get_id() == std::this_thread::get_id()) {
        return;
    }
    // Jobs run in order and each is destroyed before the next starts: once this one has run,
    // every earlier job is over.
    std::promise<void> idle;
    std::future<void> over = idle.get_future();
    post([&idle] { idle.set_value(); });
    over.wait();
}

} // namespace quillory
