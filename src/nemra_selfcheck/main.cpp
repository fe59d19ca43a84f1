// nemra-selfcheck: runs the named checks of nemra_ecs, then those of nemra_kernel.
#include <vector>

#include <nemra_ecs/checks/checks.hpp>
#include <nemra_kernel/checks/checks.hpp>
#include <selfcheck/runner/runner.hpp>

int main(int argc, char** argv) {
  std::vector<selfcheck::Check> table;
  for (const auto& check : nemra_ecs::checks()) table.push_back(check);
  for (const auto& check : nemra_kernel::checks()) table.push_back(check);
  return selfcheck::runnerMain(argc, argv, table);
}
