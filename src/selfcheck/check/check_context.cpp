#include <selfcheck/check/check_context.hpp>
#include <selfcheck/check/test_allocator.hpp>

namespace selfcheck {
namespace {

std::atomic<CheckContext*> g_current{nullptr};

}  // namespace

CheckContext::CheckContext() : previous_(g_current.exchange(this)) {}

CheckContext::CheckContext(ProcessTag) noexcept : owns_resource_(false) {}

CheckContext::~CheckContext() {
  if (!owns_resource_) return;
  (void)closeAllocator();
  g_current.store(previous_);
}

std::pmr::memory_resource* CheckContext::allocator() noexcept {
  if (!owns_resource_) return std::pmr::new_delete_resource();
  return &resource_;
}

bool CheckContext::closeAllocator() { return owns_resource_ && resource_.close(); }

void CheckContext::countError() noexcept {
  std::uint64_t current = log_err_count_.load();
  while (!log_err_count_.compare_exchange_weak(current, saturatingAdd(current, 1))) {
  }
}

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::err:
      return "err";
    case LogLevel::warn:
      return "warn";
    case LogLevel::info:
      return "info";
    case LogLevel::debug:
      return "debug";
  }
  return "?";
}

CheckContext& checkContext() noexcept {
  static CheckContext process_context{CheckContext::ProcessTag{}};
  CheckContext* current = g_current.load();
  return current != nullptr ? *current : process_context;
}

std::pmr::memory_resource* testAllocator() { return checkContext().allocator(); }

}  // namespace selfcheck
