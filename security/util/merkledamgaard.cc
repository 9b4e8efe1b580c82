#include "security/util/merkledamgaard.h"

#include <atomic>

namespace security {
namespace {

std::atomic<int> update_after_digest_severity{2};

}  // namespace

int MerkleDamgaardUpdateAfterDigestSeverity() {
  return update_after_digest_severity.load(std::memory_order_relaxed);
}

void SetMerkleDamgaardUpdateAfterDigestSeverity(int severity) {
  update_after_digest_severity.store(severity, std::memory_order_relaxed);
}

}  // namespace security
