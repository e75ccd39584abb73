#include "engine/service_table.h"

#include <utility>

namespace corvandel::engine {

TServiceTable::TServiceTable(std::vector<std::string> lines)
    : lines_(std::move(lines)), states_(lines_.size()) {}

TServState TServiceTable::State(std::size_t index) const {
  const std::lock_guard<std::mutex> lock(ServiceLock);
  return states_.at(index).State;
}

bool TServiceTable::Claim(std::size_t index) {
  const std::lock_guard<std::mutex> lock(ServiceLock);
  TServList& entry = states_.at(index);
  if (entry.State != ssPending) return false;
  entry.State = ssClaimed;
  return true;
}

void TServiceTable::MarkDone(std::size_t index) {
  const std::lock_guard<std::mutex> lock(ServiceLock);
  states_.at(index).State = ssDone;
}

void TServiceTable::ResetStates() {
  const std::lock_guard<std::mutex> lock(ServiceLock);
  for (TServList& entry : states_) entry.State = ssPending;
}

}  // namespace corvandel::engine
