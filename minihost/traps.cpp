#include "traps.h"

#include <map>
#include <mutex>
#include <utility>

namespace minihost {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::pair<Table, size_t>, std::string> names;
  std::vector<std::string> calls;
};
Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

std::vector<std::string> TrappedCalls() {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  return TheRegistry().calls;
}

void ClearTrappedCalls() {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  TheRegistry().calls.clear();
}

namespace trap_detail {

void NameSlot(Table table, size_t offset, const char* name) {
  std::string text = name;
  const std::string prefix = "Table::";
  const size_t at = text.find(prefix);
  if (at != std::string::npos) text.erase(0, at + prefix.size());
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  TheRegistry().names.emplace(std::make_pair(table, offset), text);
}

void Record(Table table, size_t offset) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.names.find({table, offset});
  r.calls.push_back(it != r.names.end() ? it->second : "slot at " + std::to_string(offset));
}

}  // namespace trap_detail
}  // namespace minihost
