#include "card_session.h"

#include <utility>

namespace cardlink {

CardSession::CardSession(const ChannelProfile& profile, const char* path, pthread_mutex_t* lock)
    : profile_(&profile), device_(path ? hid_open_path(path) : nullptr), lock_(lock) {
  // Every poll of the channel counts on a read that does not wait: a device that cannot be put in
  // that mode is not used (a blocking read of a card that never answers would hang the caller).
  if (device_ && hid_set_nonblocking(device_, 1) != 0) hid_close(std::exchange(device_, nullptr));
}

CardSession::CardSession(CardSession&& other) noexcept
    : profile_(other.profile_),
      device_(std::exchange(other.device_, nullptr)),
      lock_(other.lock_),
      started_(other.started_),
      locked_(std::exchange(other.locked_, false)) {}

CardSession& CardSession::operator=(CardSession&& other) noexcept {
  if (this != &other) {
    close();
    profile_ = other.profile_;
    device_ = std::exchange(other.device_, nullptr);
    lock_ = other.lock_;
    started_ = other.started_;
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

void CardSession::start() {
  if (!device_ || started_) return;
  started_ = true;
  if (lock_) locked_ = pthread_mutex_lock(lock_) == 0;
  mcu_read_write_flash(*profile_, device_);
}

void CardSession::close() {
  if (locked_) {
    pthread_mutex_unlock(lock_);
    locked_ = false;
  }
  if (device_) hid_close(std::exchange(device_, nullptr));
}

}  // namespace cardlink
