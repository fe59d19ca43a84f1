// Umbrella header of the lockstep and rollback sessions.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_LOCKSTEP_NEMRA_LOCKSTEP_HPP)
#define NEMRA_LOCKSTEP_NEMRA_LOCKSTEP_HPP

#include <nemra_lockstep/blob_transfer.hpp>
#include <nemra_lockstep/game.hpp>
#include <nemra_lockstep/in_process_network.hpp>
#include <nemra_lockstep/packet.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/sync_test_session.hpp>
#include <nemra_lockstep/transport.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <nemra_lockstep/world_states.hpp>

#endif
