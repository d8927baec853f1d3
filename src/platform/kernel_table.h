// The holder of a kernel table: a struct of function pointers that a family of hot loops is called
// through, each entry either the plain C++ reference or a vector version picked from CpuFlags().
//
// When a table is filled: on its first use, thread-safe, rather than from process attach. The tables
// live in the imaging, analysis and texmap layers, above the concurrency layer that attaches the
// process and must not call up into them; and benchmarks and tools use the internals without attaching
// at all. Filling on first use works the same from every entry point. A table remembers the flags it was
// filled for and fills itself again when they differ (SetCpuFlagsMask).
//
// A use costs two loads and a compare, so callers fetch the table once per image, row loop or quad,
// never per pixel.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/cpu.h"

namespace vendrix::platform {

// Table is an aggregate of function pointers. Declare holders constinit at namespace scope: they need
// no dynamic initialisation, so a use from another static initialiser is safe.
template <class Table>
class KernelTable {
 public:
  // Sets every entry of the table for `flags`: the plain reference first, then the vector versions
  // the flags allow.
  using Fill = void (*)(uint32_t flags, Table* table);

  explicit constexpr KernelTable(Fill fill) : fill_(fill) {}

  // The table for the current CpuFlags(). The reference stays valid until the mask next changes.
  const Table& Get() {
    const uint32_t flags = CpuFlags();
    if (filled_for_.load(std::memory_order_acquire) != flags) Refill(flags);
    return table_;
  }

 private:
  static constexpr uint32_t kNotFilled = ~0u;  // never a value of CpuFlags()

  void Refill(uint32_t flags) {
    std::lock_guard<std::mutex> hold(lock_);
    if (filled_for_.load(std::memory_order_relaxed) == flags) return;  // another thread filled it
    fill_(flags, &table_);
    filled_for_.store(flags, std::memory_order_release);
  }

  const Fill fill_;
  Table table_{};
  std::atomic<uint32_t> filled_for_{kNotFilled};
  std::mutex lock_;
};

}  // namespace vendrix::platform
