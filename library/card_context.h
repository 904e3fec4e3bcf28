// The card library's context and card discovery: the card table that Tav_Init
// builds, the identity of a card, and open_recorded_card/close_card, the bracket of every device
// conversation with a card in this library.
//
// Nothing here throws, prints on its own account beyond its three documented lines, or keeps a
// device open between calls; only CardContext::bsl_device lives across calls.
#pragma once

#include <hidapi.h>

#include <cstddef>
#include <cstdint>

#include "card_protocol.h"
#include "card_session.h"
#include "usb_port.h"

namespace cardlink {

constexpr std::size_t kPathFieldSize = 250;  // at most 249 characters and the NUL

// One row of the card table (and the record of the boot-loader device).
struct CardEntry {
  char path[kPathFieldSize];  // exactly as the enumeration gave it; never a cut path
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::int8_t card_id;        // 0 when the card gave none
  char port[kPortFieldSize];  // the USB port when listed; empty: none known
};

// A new node may be root-only until udev has applied the rules that give it to the user, and may
// not be there yet where udev makes the nodes: an open of a node the enumeration lists that fails
// with EACCES or ENOENT is tried again every kOpenRetryMs, for kOpenPatienceMs in all.
constexpr int kOpenRetryMs = 100;
constexpr int kOpenPatienceMs = 2000;

// Identity of one card: ids from its CardEntry, versions from the MCU_CMD_FW_VERSION reply.
struct CardIdentity {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::int8_t card_id;
  char fw_version[5];
  char boot_version[5];
};

// Copies `path` into an entry's path field when it fits whole; false (entry untouched) when it
// is null or has kPathFieldSize characters or more.
bool store_path(CardEntry& entry, const char* path);

// True when the enumeration lists `entry`'s path with the entry's vendor and product id now. A
// recorded path outlives its device: once the device has left the bus the path is gone, or names
// whatever device the kernel has given that node to since.
bool still_listed(const CardEntry& entry);
// hid_open_path of the device `entry` records, while the enumeration lists it under its path
// with its ids, tried again as kOpenRetryMs says. A device opened only after a retry must still be
// the one recorded: its node may have changed hands meanwhile, so its ids and port are checked
// again. Null, with why in `failure`, when it is not listed or does not open.
hid_device* open_listed(const CardEntry& entry, Failure* failure);
// Opens a row of the card table for one device conversation (open_listed, then non-blocking mode
// and the priming read, its result ignored): a session that is not open, with nothing opened, when the row's device is no longer
// listed under its path. Why it did not open goes to `failure`.
CardSession open_recorded_card(const CardEntry& entry, Failure* failure = nullptr);
// Ends the device conversation (hid_close) before the session goes out of scope.
void close_card(CardSession& card);

}  // namespace cardlink

// The library context: one fixed-size, zero-filled allocation made by Tav_Init and released
// only by Tav_Close. Callers see it as an opaque pointer (cardlink.h).
struct CardContext {
  std::uint8_t card_count = 0;
  std::uint8_t boot_count = 0;  // successful boot-loader searches
  cardlink::CardEntry cards[cardlink::kCardTableCapacity] = {};
  hid_device* bsl_device = nullptr;  // the open boot-loader connection
  cardlink::CardEntry boot_device = {};  // the boot-loader device found; its card_id stays 0
  cardlink::Failure last_failure;        // why the last card conversation that failed did

  CardContext() = default;
  ~CardContext();  // closes bsl_device when a connection is open
  CardContext(const CardContext&) = delete;
  CardContext& operator=(const CardContext&) = delete;
};

namespace cardlink {

// Tav_Init: a new context with its card table, or nullptr when the HID layer cannot be
// initialised ("hid_init failed error\n" printed) or no card is found.
CardContext* create_context();
// Tav_InitForRecovery: as create_context, but a context also when no card is listed.
CardContext* create_context_allowing_no_card();
// Tav_InitAtPort: as create_context, with only the cards at `port` in the table; nullptr for a
// null or empty port.
CardContext* create_context_at_port(const char* port);
// Tav_ListCardPorts: the rows a card table would have now and the port of each of the first
// `capacity`, without opening any card; -1 when the HID layer cannot be started (printed as
// Tav_Init prints it).
int list_card_ports(char (*ports)[kPortFieldSize], int capacity);
// Fills the card table from the enumeration of vendor id 0x2933 (only the cards at `port` when it
// is given) and asks each card for its card id. Returns the number of rows.
int build_card_table(CardContext& context, const char* port = nullptr);
// Tav_Close: closes the boot-loader connection and releases the context.
void destroy_context(CardContext* context);

// Byte i: card id of row i; 0xFF in every byte past the last row.
void fill_card_id_table(const CardContext& context, std::int8_t table[kCardTableCapacity]);

enum class IdentityRead {
  NoCard,      // empty table: nothing filled
  OpenFailed,  // ids filled; "Board %d Error Access!!\n" printed
  NoReply,     // ids filled; versions untouched
  Ok,          // everything filled
};
// Tav_GetDevInfoByRow: the identity of the card in `row` (Tav_GetFirstDevInfoToFlash: row 0). The
// ids are filled before any I/O; the versions only when the card answered the version query. A
// failure is kept in the context's last_failure. NoCard for a row past the last.
IdentityRead read_identity(CardContext& context, int row, CardIdentity& identity);

// The row of the table, or nullptr when there is no such row.
const CardEntry* row_at(const CardContext& context, int row);

// Prints "Board %d Error Access!!\n" with a card id, as a signed decimal number.
void print_board_access_error(std::int8_t card_id);

}  // namespace cardlink
