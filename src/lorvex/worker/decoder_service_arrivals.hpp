// Connections to the decoder service whose request has not yet come in far enough to name its
// video: accepted from the caller's own workers and engine only, and handed on once the
// request names its video. One that hangs up, sends something else or is too slow (stopped,
// say) is dropped, and its worker decodes by itself; none of them holds up the others.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "lorvex/protocol/decoder_service_messages.hpp"
#include "lorvex/protocol/descriptor.hpp"

namespace lorvex {

class ServiceArrivals {
  public:
    using Clock = std::chrono::steady_clock;
    // What a ready arrival is handed to: its connection, the connected process and the
    // start of its request.
    using Start = std::function<void(Descriptor connection, pid_t worker,
                                     const decoder_service::RequestStart& start)>;

    explicit ServiceArrivals(pid_t caller) : caller_(caller) {}

    // Accepts one connection on `listening`: anyone but the caller's own workers and the
    // caller's engine finds it closed.
    void accept_from(int listening);

    // Adds a poll entry for each arrival to `watched`, in order.
    void watch(std::vector<pollfd>& watched) const;

    // `entries`: the entries watch() added, as poll() left them (no arrival is accepted in
    // between). Hands each arrival whose request names its video to `start`, keeps those
    // still coming in, drops the others.
    void look(std::span<const pollfd> entries, const Start& start);

    // When the first of the arrivals gives up waiting.
    std::optional<Clock::time_point> next_deadline() const;

  private:
    struct Arrival {
        Descriptor connection;
        pid_t worker;
        Clock::time_point deadline;
    };

    // A worker sends its request right after connecting; one that has not after this long is
    // stopped or starved, and better off decoding by itself.
    static constexpr Clock::duration kPatience = std::chrono::seconds(5);

    pid_t caller_;
    std::vector<Arrival> arrivals_;
};

}  // namespace lorvex
