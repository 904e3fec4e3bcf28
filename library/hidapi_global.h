// hidapi's calls that touch its process-wide state, one at a time. hidapi 0.13 keeps one global
// error string, without a lock, that hid_init, hid_enumerate and hid_open_path replace and free
// (register_global_error in linux/hid.c; register_global_winapi_error in windows/hid.c), and
// hid_error(NULL) reads. Threads that each update a card would free it under one another, so every
// such call of the library goes through here, under one process-wide lock, and an open that fails
// copies the global error before the lock is let go. Calls on an open handle (hid_read, hid_write,
// hid_error of the handle, hid_close) keep their error in the handle and need no lock.
#pragma once

#include <hidapi.h>

#include "card_session.h"

namespace cardlink {

// hid_init, once per process, whichever thread comes first: a success is remembered and the HID
// layer is never shut down by the library; a failure is not, so a later Tav_Init tries again.
bool hid_layer_ready();
// hid_enumerate; the list is freed with hid_free_enumeration, which touches nothing shared.
hid_device_info* list_hid_devices(unsigned short vendor_id, unsigned short product_id);
// hid_open_path; null with why in `failure` (when given) when it does not open.
hid_device* open_hid_path(const char* path, Failure* failure);

}  // namespace cardlink
