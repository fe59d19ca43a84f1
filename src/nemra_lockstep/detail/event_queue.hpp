// The events a session raises, handed out oldest first. Room for 64 is taken with the session;
// the storage is reused once every event was taken, so a program that takes them each frame
// causes no allocation.
#ifndef NEMRA_LOCKSTEP_DETAIL_EVENT_QUEUE_HPP
#define NEMRA_LOCKSTEP_DETAIL_EVENT_QUEUE_HPP

#include <cstddef>
#include <memory_resource>
#include <nemra_lockstep/session.hpp>
#include <new>
#include <optional>
#include <vector>

namespace nemra_lockstep::detail {

class EventQueue {
 public:
  explicit EventQueue(std::pmr::memory_resource* r) noexcept : events_(r) {}

  // Throws std::bad_alloc.
  void reserveRoom() { events_.reserve(64); }

  void push(const Event& e) noexcept {
    try {
      if (next_ == events_.size()) {
        events_.clear();
        next_ = 0;
      }
      events_.push_back(e);
    } catch (const std::bad_alloc&) {
      // The reserved room is gone and no more memory: the event is lost, the session goes on.
    }
  }

  std::optional<Event> next() noexcept {
    if (next_ == events_.size()) return std::nullopt;
    return events_[next_++];
  }

 private:
  std::pmr::vector<Event> events_;
  std::size_t next_ = 0;
};

}  // namespace nemra_lockstep::detail

#endif
