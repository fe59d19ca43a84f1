// Counts a refused datagram under its reason.
#ifndef NEMRA_LOCKSTEP_DETAIL_DROPS_HPP
#define NEMRA_LOCKSTEP_DETAIL_DROPS_HPP

#include <nemra_lockstep/packet.hpp>
#include <nemra_lockstep/session.hpp>

namespace nemra_lockstep::detail {

inline void countDrop(DropCounters& dropped, PacketError error) noexcept {
  switch (error) {
    case PacketError::Truncated:
      ++dropped.truncated;
      break;
    case PacketError::Oversized:
      ++dropped.oversized;
      break;
    case PacketError::Garbage:
      ++dropped.garbage;
      break;
    case PacketError::WrongSession:
      ++dropped.wrong_session;
      break;
    case PacketError::Malformed:
      ++dropped.malformed;
      break;
  }
}

}  // namespace nemra_lockstep::detail

#endif
