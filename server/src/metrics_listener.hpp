// GET /metrics on a listener of its own, served by a thread of its own: a
// scrape never takes a client's slot or a worker's time, and clients cannot
// reach it on the client address.
#pragma once

#include <thread>

namespace oramet {

struct Shared;

class MetricsListener {
public:
    MetricsListener() = default;
    ~MetricsListener() { stop(); }
    MetricsListener(const MetricsListener &) = delete;
    MetricsListener &operator=(const MetricsListener &) = delete;

    // Serves on `fd`, bound and listening; takes it over. False (and `fd`
    // closed) when the thread cannot start.
    bool start(int fd, Shared &shared);
    // Stops the thread and closes the socket; a scrape under way is cut.
    void stop();

private:
    void run(Shared &shared);

    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace oramet
