#include "card_session.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "hidapi_global.h"

namespace cardlink {

Failure make_failure(FailureKind kind, const char* text) {
  Failure failure;
  failure.kind = kind;
  std::snprintf(failure.text, sizeof failure.text, "%s", text ? text : "");
  return failure;
}

namespace {

// hidapi's words for `device` (its global error when null), as 8-bit text; hidapi's texts are
// ASCII (strerror, FormatMessage in English): anything else becomes '?'.
std::string error_text(hid_device* device) {
  const wchar_t* wide = hid_error(device);
  std::string text;
  for (std::size_t i = 0; wide && wide[i] && i + 1 < sizeof Failure::text; ++i)
    text += wide[i] > 0 && wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
  return text;
}

bool denied(const std::string& text) {
  return text.find("ermission denied") != std::string::npos || text.find("ccess is denied") != std::string::npos;
}

}  // namespace

Failure exchange_failure(hid_device* device) {
  const std::string text = error_text(device);
  if (text.empty() || text == "Success") return make_failure(FailureKind::NoAnswer, "the card did not answer");
  return make_failure(denied(text) ? FailureKind::NoAccess : FailureKind::Io, text.c_str());
}

Failure open_failure() {
  const std::string text = error_text(nullptr);
  return make_failure(denied(text) ? FailureKind::NoAccess : FailureKind::Other, text.c_str());
}

CardSession::CardSession(const ChannelProfile& profile, const char* path, pthread_mutex_t* lock)
    : profile_(&profile), lock_(lock) {
  Failure why = make_failure(FailureKind::Other, "no path");
  hid_device* opened = path ? open_hid_path(path, &why) : nullptr;
  adopt(opened, opened ? Failure{} : why);
}

CardSession::CardSession(const ChannelProfile& profile, hid_device* opened, const Failure& failure)
    : profile_(&profile) {
  adopt(opened, failure);
}

void CardSession::adopt(hid_device* opened, const Failure& failure) {
  device_ = opened;
  if (!device_) failure_ = failure;
  // Every poll of the channel counts on a read that does not wait: a device that cannot be put in
  // that mode is not used (a blocking read of a card that never answers would hang the caller).
  if (device_ && hid_set_nonblocking(device_, 1) != 0) {
    hid_close(std::exchange(device_, nullptr));
    failure_ = make_failure(FailureKind::Io, "the device could not be put in non-blocking mode");
  }
}

CardSession::CardSession(CardSession&& other) noexcept
    : profile_(other.profile_),
      device_(std::exchange(other.device_, nullptr)),
      lock_(other.lock_),
      started_(other.started_),
      locked_(std::exchange(other.locked_, false)),
      failure_(other.failure_) {}

CardSession& CardSession::operator=(CardSession&& other) noexcept {
  if (this != &other) {
    close();
    profile_ = other.profile_;
    device_ = std::exchange(other.device_, nullptr);
    lock_ = other.lock_;
    started_ = other.started_;
    locked_ = std::exchange(other.locked_, false);
    failure_ = other.failure_;
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
