// A session's state: one object allocated from the session's resource (its `allocator` member)
// and owned by the session's handle through a pointer. The handles' release and move assignment.
#ifndef NEMRA_LOCKSTEP_DETAIL_OWNED_STATE_HPP
#define NEMRA_LOCKSTEP_DETAIL_OWNED_STATE_HPP

#include <memory_resource>
#include <utility>

namespace nemra_lockstep::detail {

// Destroys the state, if any, and leaves the pointer null.
template <class State>
void destroyState(State*& state) noexcept {
  if (state == nullptr) return;
  std::pmr::polymorphic_allocator<State> alloc(state->allocator);
  alloc.delete_object(state);
  state = nullptr;
}

// Releases `state` and takes over `other`'s, leaving `other` null; nothing for a self-move.
template <class State>
void takeOverState(State*& state, State*& other) noexcept {
  if (&state == &other) return;
  destroyState(state);
  state = std::exchange(other, nullptr);
}

}  // namespace nemra_lockstep::detail

#endif
