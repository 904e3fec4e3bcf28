#include "hidapi_global.h"

#include <mutex>

namespace cardlink {

namespace {

std::mutex& hidapi_global_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

bool hid_layer_ready() {
  static bool ready = false;
  std::lock_guard guard(hidapi_global_lock());
  if (!ready) ready = hid_init() == 0;
  return ready;
}

hid_device_info* list_hid_devices(unsigned short vendor_id, unsigned short product_id) {
  std::lock_guard guard(hidapi_global_lock());
  return hid_enumerate(vendor_id, product_id);
}

hid_device* open_hid_path(const char* path, Failure* failure) {
  std::lock_guard guard(hidapi_global_lock());
  hid_device* device = hid_open_path(path);
  if (!device && failure) *failure = open_failure();
  return device;
}

}  // namespace cardlink
