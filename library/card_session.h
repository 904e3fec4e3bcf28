// One device conversation with a card controller, owned by one object: open by path, non-blocking
// mode, (channel lock), priming read, the caller's exchanges, (unlock), close. The library and the
// tool both talk to cards only through it, so no way out of a conversation leaves a device open or
// the lock held.
#pragma once

#include <hidapi.h>
#include <pthread.h>

#include "command_channel.h"

namespace cardlink {

// Why a card could not be talked to: what the library keeps of its last failure (cardlink.h,
// Tav_GetLastFailure), hidapi's way: stored, never printed.
enum class FailureKind { None = 0, NoAccess = 1, Gone = 2, NoAnswer = 3, Io = 4, Other = 5 };
struct Failure {
  FailureKind kind = FailureKind::None;
  char text[160] = {};  // hidapi's words, or the library's; cut to fit
};
Failure make_failure(FailureKind kind, const char* text);
// The failure of hid_open_path, from hidapi's global error: the user may not open the node
// ("Permission denied" from the kernel, "Access is denied" from Windows), or another reason. Read
// only under the lock of hidapi_global.h, right after the open failed.
Failure open_failure();
// After an exchange with a device that brought nothing: hidapi's error on the handle when there is
// one (a refused access, another failure), else the card's silence.
Failure exchange_failure(hid_device* device);

class CardSession {
 public:
  CardSession() = default;
  // Opens `path` (hid_open_path) and switches the device to non-blocking mode; the session is not
  // open when either fails. Nothing is sent until start(). `lock`, when given, is held from start() until close(), and is never held while
  // the device is opened or closed.
  CardSession(const ChannelProfile& profile, const char* path, pthread_mutex_t* lock = nullptr);
  // Takes over a device the caller opened (`opened`; null: the session is not open, for the reason
  // in `failure`) and switches it to non-blocking mode.
  CardSession(const ChannelProfile& profile, hid_device* opened, const Failure& failure);
  ~CardSession() { close(); }
  CardSession(CardSession&& other) noexcept;
  CardSession& operator=(CardSession&& other) noexcept;
  CardSession(const CardSession&) = delete;
  CardSession& operator=(const CardSession&) = delete;

  bool is_open() const { return device_ != nullptr; }
  // Why the session did not open.
  const Failure& failure() const { return failure_; }
  hid_device* device() const { return device_; }

  // Takes the lock and makes the priming read (its result is of no use to anyone). Does nothing
  // on a session that did not open, or that has started already.
  void start();
  // Releases the lock, then closes the device. A closed session stays closed.
  void close();

 private:
  void adopt(hid_device* opened, const Failure& failure);

  const ChannelProfile* profile_ = nullptr;
  hid_device* device_ = nullptr;
  pthread_mutex_t* lock_ = nullptr;
  bool started_ = false;
  bool locked_ = false;
  Failure failure_;
};

}  // namespace cardlink
