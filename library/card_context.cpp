#include "card_context.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "hidapi_global.h"
#include "lib_trace.h"
#include "library_channel.h"

CardContext::~CardContext() {
  if (bsl_device) {
    hid_close(bsl_device);
    bsl_device = nullptr;
  }
}

namespace cardlink {

bool store_path(CardEntry& entry, const char* path) {
  if (!path) return false;
  std::size_t length = strnlen(path, kPathFieldSize);
  if (length >= kPathFieldSize) return false;
  std::memcpy(entry.path, path, length);
  entry.path[length] = '\0';
  return true;
}

bool still_listed(const CardEntry& entry) {
  hid_device_info* devices = list_hid_devices(entry.vendor_id, entry.product_id);
  bool listed = false;
  for (hid_device_info* d = devices; d && !listed; d = d->next) listed = d->path && !std::strcmp(d->path, entry.path);
  hid_free_enumeration(devices);
  return listed;
}

namespace {

// The kernel's words for EACCES and ENOENT, as hidapi's Linux back end passes them on.
bool worth_waiting(const Failure& failure) {
  return failure.kind == FailureKind::NoAccess || std::strstr(failure.text, "No such file or directory");
}

// After a retried open: the node still lists the recorded ids, at the recorded port.
bool still_the_same(const CardEntry& entry) {
  if (!still_listed(entry)) return false;
  if (entry.port[0] == '\0') return true;
  char port[kPortFieldSize];
  return usb_port_of(entry.path, port) && same_port(port, entry.port);
}

}  // namespace

hid_device* open_listed(const CardEntry& entry, Failure* failure) {
  Failure why;
  for (int waited = 0;; waited += kOpenRetryMs) {
    if (!still_listed(entry)) {
      LibTrace("%s is no longer listed as %04hx:%04hx\n", entry.path, entry.vendor_id, entry.product_id);
      why = make_failure(FailureKind::Gone, "the card is no longer listed under its path");
      break;
    }
    if (hid_device* device = open_hid_path(entry.path, &why)) {
      if (waited == 0 || still_the_same(entry)) return device;
      hid_close(device);
      why = make_failure(FailureKind::Gone, "the node was given to another device while it could not be opened");
      break;
    }
    if (!worth_waiting(why) || waited >= kOpenPatienceMs) break;
    LibTrace("cannot open %s yet: %s\n", entry.path, why.text);
    pause_ms(kOpenRetryMs);
  }
  if (failure) *failure = why;
  return nullptr;
}

CardSession open_recorded_card(const CardEntry& entry, Failure* failure) {
  Failure why;
  hid_device* device = open_listed(entry, &why);
  CardSession card(kLibraryChannel, device, why);
  card.start();
  if (failure && !card.is_open()) *failure = card.failure();
  return card;
}

const CardEntry* row_at(const CardContext& context, int row) {
  if (row < 0 || row >= context.card_count || row >= kCardTableCapacity) return nullptr;
  return &context.cards[row];
}

void close_card(CardSession& card) { card.close(); }

namespace {

CardContext* make_context(bool card_needed, const char* port) {
  auto* context = new (std::nothrow) CardContext();
  if (!context) return nullptr;
  if (!hid_layer_ready()) {
    std::printf("hid_init failed error\n");
    delete context;
    return nullptr;
  }
  if (build_card_table(*context, port) == 0 && card_needed) {
    delete context;
    return nullptr;
  }
  return context;
}

}  // namespace

CardContext* create_context() { return make_context(true, nullptr); }

CardContext* create_context_allowing_no_card() { return make_context(false, nullptr); }

CardContext* create_context_at_port(const char* port) {
  if (!port || !*port) return nullptr;
  return make_context(true, port);
}

int list_card_ports(char (*ports)[kPortFieldSize], int capacity) {
  if (!hid_layer_ready()) {
    std::printf("hid_init failed error\n");
    return -1;
  }
  hid_device_info* devices = list_hid_devices(kCardVendorId, 0);
  int rows = 0;
  for (hid_device_info* d = devices; d && rows < kCardTableCapacity; d = d->next) {
    CardEntry row = {};
    if (!store_path(row, d->path)) continue;  // as the card table skips it
    if (ports && rows < capacity && !usb_port_of(row.path, ports[rows])) ports[rows][0] = '\0';
    ++rows;
  }
  hid_free_enumeration(devices);
  return rows;
}

int build_card_table(CardContext& context, const char* port) {
  hid_device_info* devices = list_hid_devices(kCardVendorId, 0);
  for (hid_device_info* d = devices; d && context.card_count < kCardTableCapacity; d = d->next) {
    LibTrace("Device Found\n  type: %04hx %04hx\n  path: %s\n", d->vendor_id, d->product_id,
             d->path ? d->path : "");
    CardEntry& row = context.cards[context.card_count];
    // A path that does not fit is skipped: a cut path could name another device.
    if (!store_path(row, d->path)) {
      LibTrace("path of %zu characters or more: device skipped\n", kPathFieldSize);
      continue;
    }
    row.vendor_id = d->vendor_id;
    row.product_id = d->product_id;
    row.card_id = 0;
    (void)usb_port_of(row.path, row.port);
    // Cards at other ports are not even opened: another thread may be updating them.
    if (port && !same_port(row.port, port)) {
      row = CardEntry{};
      continue;
    }
    ++context.card_count;
  }
  hid_free_enumeration(devices);

  for (int i = 0; i < context.card_count; ++i) {
    CardEntry& row = context.cards[i];
    // A card that cannot be opened keeps its row with card id 0, as one that does not answer;
    // the exports that address it later fail at their own open.
    CardSession card = open_recorded_card(row);
    if (card.is_open()) {
      (void)mcu_read_card_id(kLibraryChannel, card.device(), &row.card_id);
    } else {
      LibTrace("cannot open %s: card id 0\n", row.path);
    }
    LibTrace("CarID =%d path: %s port: %s\n", row.card_id, row.path, row.port);
    close_card(card);
  }
  return context.card_count;
}

void destroy_context(CardContext* context) { delete context; }

void fill_card_id_table(const CardContext& context, std::int8_t table[kCardTableCapacity]) {
  std::memset(table, 0xFF, kCardTableCapacity);
  for (int i = 0; i < context.card_count && i < kCardTableCapacity; ++i) table[i] = context.cards[i].card_id;
}

void print_board_access_error(std::int8_t card_id) { std::printf("Board %d Error Access!!\n", card_id); }

IdentityRead read_identity(CardContext& context, int row, CardIdentity& identity) {
  const CardEntry* entry = row_at(context, row);
  if (!entry) return IdentityRead::NoCard;
  const CardEntry& card_row = *entry;
  identity.vendor_id = card_row.vendor_id;
  identity.product_id = card_row.product_id;
  identity.card_id = card_row.card_id;

  LibTrace("open %s\n", card_row.path);
  CardSession card = open_recorded_card(card_row, &context.last_failure);
  if (!card.is_open()) {
    print_board_access_error(card_row.card_id);
    return IdentityRead::OpenFailed;
  }
  int result = mcu_read_fwversion(kLibraryChannel, card.device(), identity.fw_version, identity.boot_version);
  // A silent card leaves the handle without an error; a write or read that failed leaves hidapi's
  // words (on Windows a node opened without access opens, and its writes are denied). A card
  // pulled out meanwhile is told by the listing, not by those words: what a handle of a departed
  // device gives differs between systems (ENODEV, a hang-up, "The device is not connected",
  // wine's "Access denied").
  if (result != 0)
    context.last_failure = still_listed(card_row) ? exchange_failure(card.device())
                                               : make_failure(FailureKind::Gone, "the card is no longer listed under its path");
  close_card(card);
  return result == 0 ? IdentityRead::Ok : IdentityRead::NoReply;
}

}  // namespace cardlink
