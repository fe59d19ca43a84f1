#include <selfcheck/panic.hpp>
#include <selfcheck/server.hpp>

namespace selfcheck {

int serverMain(CheckTable) { panic("server mode (--listen=-) is not available in this build"); }

}  // namespace selfcheck
