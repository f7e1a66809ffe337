#include "lorvex/worker/decoder_service_arrivals.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "lorvex/worker/parent_watch.hpp"

namespace lorvex {

void ServiceArrivals::accept_from(int listening) {
    Descriptor connection(accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) return;
    const std::optional<ucred> worker = decoder_service::peer_of(connection.get());
    if (!worker || worker->uid != getuid() ||
        (worker->pid != caller_ && parent_of(worker->pid) != caller_)) {
        return;
    }
    arrivals_.push_back({std::move(connection), worker->pid, Clock::now() + kPatience});
}

void ServiceArrivals::watch(std::vector<pollfd>& watched) const {
    for (const Arrival& arrival : arrivals_) {
        watched.push_back({arrival.connection.get(), POLLIN | POLLRDHUP, 0});
    }
}

void ServiceArrivals::look(std::span<const pollfd> entries, const Start& start) {
    using State = decoder_service::RequestStart::State;
    const Clock::time_point now = Clock::now();
    std::vector<Arrival> waiting;
    for (std::size_t i = 0; i < arrivals_.size(); ++i) {
        Arrival& arrival = arrivals_[i];
        const short events = i < entries.size() ? entries[i].revents : 0;
        const decoder_service::RequestStart request =
            events != 0 ? decoder_service::peek_request_start(arrival.connection.get())
                        : decoder_service::RequestStart{};
        // A worker that hung up sends no more: what has come is all there is.
        const bool more_to_come = (events & (POLLHUP | POLLRDHUP | POLLERR)) == 0;
        if (request.state == State::ready) {
            start(std::move(arrival.connection), arrival.worker, request);
        } else if (request.state == State::waiting && more_to_come && now < arrival.deadline) {
            waiting.push_back(std::move(arrival));
        }
    }
    arrivals_ = std::move(waiting);
}

std::optional<ServiceArrivals::Clock::time_point> ServiceArrivals::next_deadline() const {
    if (arrivals_.empty()) return std::nullopt;
    return std::min_element(
               arrivals_.begin(), arrivals_.end(),
               [](const Arrival& a, const Arrival& b) { return a.deadline < b.deadline; })
        ->deadline;
}

}  // namespace lorvex
