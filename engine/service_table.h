#pragma once

// The services of a run, shared by the workers of each batch: the service
// lines in list order, each with a one-byte state, and the one lock that
// guards the states.
//
// The lines are fixed when the table is made, so workers read them without
// the lock; the run controller gives each run a table of its own, and a
// service list reloaded in the window affects only the next run.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace corvandel::engine {

// The state of one entry within a batch. Bit values, one at a time.
enum TServState : uint8_t {
  ssPending = 1,  // not yet taken in the current batch
  ssClaimed = 2,  // taken: its call is in progress, or the line is too short to call
  ssDone = 4,     // its call has finished and its result was handed over
};

// The state object of one entry.
struct TServList {
  TServState State = ssPending;
};

class TServiceTable {
public:
  TServiceTable() = default;
  // Every entry starts pending.
  explicit TServiceTable(std::vector<std::string> lines);
  TServiceTable(const TServiceTable&) = delete;
  TServiceTable& operator=(const TServiceTable&) = delete;

  std::size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  // The line exactly as listed: untrimmed, possibly empty or duplicated.
  const std::string& Line(std::size_t index) const { return lines_.at(index); }

  // Each of the following takes ServiceLock for one read or one
  // read-and-set of a state, and holds it for nothing else.
  TServState State(std::size_t index) const;
  bool IsPending(std::size_t index) const { return State(index) == ssPending; }
  // Pending becomes claimed; false when the entry was not pending (another
  // worker took it first).
  bool Claim(std::size_t index);
  void MarkDone(std::size_t index);
  // Every entry back to pending, for the next batch. The controller calls it
  // only when no worker of the table's previous batch is alive; it still
  // takes the lock, which costs nothing at that moment.
  void ResetStates();

private:
  std::vector<std::string> lines_;
  std::vector<TServList> states_;
  mutable std::mutex ServiceLock;
};

}  // namespace corvandel::engine
