#include "address_zero.h"

#include <algorithm>

namespace cardsim {

AddressZero::Time AddressZero::reserve(Time wanted, Time length) {
  if (length <= Time::zero()) return wanted;
  std::lock_guard lock(mutex_);
  Time start = wanted;
  auto at = held_.begin();
  for (; at != held_.end(); ++at) {
    if (at->second <= start) continue;       // over before this one would start
    if (at->first >= start + length) break;  // the gap before it is long enough
    start = at->second;                      // wait until it is released
  }
  held_.insert(std::upper_bound(held_.begin(), held_.end(), std::make_pair(start, start + length)),
               {start, start + length});
  return start;
}

}  // namespace cardsim
