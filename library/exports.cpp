// The exports of Cardlink: null checks and results as cardlink.h defines them, over the
// logic of card_context, serial_number and boot_loader. No exception crosses this layer: the
// exports that allocate or talk to a device run inside guarded(), which turns anything thrown into
// the failure value; the rest (Tav_GetCardNum, Tav_GetCardIdTable, Tav_GetCardPort, Tav_Close,
// Tav_BslClose) only read the context, fill a table or close handles, none of which throws.
#include "cardlink.h"

#include <cstdio>
#include <cstring>

#include "boot_loader.h"
#include "card_context.h"
#include "serial_number.h"

using namespace cardlink;

static_assert(TAV_PORT_SIZE == kPortFieldSize, "the header's port size is the library's");

namespace {

// Runs `body`; any exception becomes `failure`.
template <typename Result, typename Body>
Result guarded(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

extern "C" {

CardContext* Tav_Init(void) {
  return guarded<CardContext*>(nullptr, [] { return create_context(); });
}

CardContext* Tav_InitAtPort(const char* port) {
  return guarded<CardContext*>(nullptr, [&] { return create_context_at_port(port); });
}

int Tav_ListCardPorts(char ports[][TAV_PORT_SIZE], int capacity) {
  return guarded(-1, [&] { return list_card_ports(ports, capacity); });
}

CardContext* Tav_InitForRecovery(int* boot_loader_count) {
  return guarded<CardContext*>(nullptr, [&] {
    CardContext* context = create_context_allowing_no_card();
    if (context && boot_loader_count) *boot_loader_count = count_boot_loaders();
    return context;
  });
}

int Tav_GetCardNum(CardContext* context) { return context ? context->card_count : 0; }

bool Tav_GetCardIdTable(CardContext* context, int8_t table[8]) {
  if (!context || !table) return false;
  fill_card_id_table(*context, table);
  return true;
}

bool Tav_GetFirstDevInfoToFlash(CardContext* context, uint16_t* vendor_id, uint16_t* product_id, uint8_t* card_id,
                                char* fw_version, char* boot_version) {
  return Tav_GetDevInfoByRow(context, 0, vendor_id, product_id, card_id, fw_version, boot_version);
}

bool Tav_GetDevInfoByRow(CardContext* context, int row, uint16_t* vendor_id, uint16_t* product_id, uint8_t* card_id,
                         char* fw_version, char* boot_version) {
  // Every out-parameter is needed: a null one fails the call before anything is written.
  if (!context || !vendor_id || !product_id || !card_id || !fw_version || !boot_version) return false;
  return guarded(false, [&] {
    CardIdentity identity = {};
    IdentityRead outcome = read_identity(*context, row, identity);
    if (outcome == IdentityRead::NoCard) return false;
    *vendor_id = identity.vendor_id;
    *product_id = identity.product_id;
    *card_id = static_cast<uint8_t>(identity.card_id);
    if (outcome != IdentityRead::Ok) return false;
    std::memcpy(fw_version, identity.fw_version, sizeof identity.fw_version);
    std::memcpy(boot_version, identity.boot_version, sizeof identity.boot_version);
    return true;
  });
}

bool Tav_Close(CardContext* context) {
  destroy_context(context);
  return true;
}

bool Tav_Write_SN(CardContext* context, int8_t card_id, const char* serial_number, int len) {
  if (!context || !serial_number) return false;
  return guarded(false, [&] { return write_serial_number(*context, card_id, serial_number, len); });
}

bool Tav_Read_SN(CardContext* context, int8_t card_id, char* buffer, int len) {
  if (!context || !buffer) return false;
  return guarded(false, [&] { return read_serial_number(*context, card_id, buffer, len); });
}

bool Tav_Write_SN_ByRow(CardContext* context, int row, const char* serial_number, int len) {
  if (!context || !serial_number) return false;
  return guarded(false, [&] { return write_serial_number_at(*context, row, serial_number, len); });
}

bool Tav_Read_SN_ByRow(CardContext* context, int row, char* buffer, int len) {
  if (!context || !buffer) return false;
  return guarded(false, [&] { return read_serial_number_at(*context, row, buffer, len); });
}

bool Tav_GetCardPort(CardContext* context, int row, char* port, int size) {
  const CardEntry* entry = context ? row_at(*context, row) : nullptr;
  const char* text = entry ? entry->port : "";
  if (port && size > 0) std::snprintf(port, static_cast<std::size_t>(size), "%s", text);
  return text[0] != '\0';
}

int Tav_GetLastFailure(CardContext* context, char* text, int size) {
  if (!context) return TAV_FAILURE_NONE;
  const cardlink::Failure& failure = context->last_failure;
  if (text && size > 0) std::snprintf(text, static_cast<std::size_t>(size), "%s", failure.text);
  return static_cast<int>(failure.kind);
}

bool Tav_SwitchToISP(CardContext* context) { return Tav_SwitchToISPByRow(context, 0); }

bool Tav_SwitchToISPByRow(CardContext* context, int row) {
  if (!context) return false;
  return guarded(false, [&] { return switch_card_to_isp(*context, row); });
}

bool Tav_EnumBootDev(CardContext* context) {
  if (!context) return false;
  return guarded(false, [&] { return find_boot_loader(*context); });
}

bool Tav_EnumBootDevAtPort(CardContext* context, const char* port) {
  if (!context) return false;
  if (!port || !*port) {
    context->boot_device = {};
    return false;
  }
  return guarded(false, [&] { return find_boot_loader(*context, port); });
}

int Tav_ListBootDevs(CardContext* context, char ports[][TAV_PORT_SIZE], int capacity) {
  if (!context) return 0;
  return guarded(0, [&] { return list_boot_loaders(ports, ports ? capacity : 0); });
}

bool Tav_BslConnect(CardContext* context) {
  if (!context) return false;
  return guarded(false, [&] { return connect_boot_loader(*context); });
}

int Tav_BslWrite(CardContext* context, const unsigned char* data, int length) {
  if (!context) return -1;
  return guarded(-1, [&] { return write_boot_loader(*context, data, length); });
}

bool Tav_BslRead(CardContext* context, unsigned char* buffer, int length, int* count) {
  if (!context) return false;
  return guarded(false, [&] { return read_boot_loader(*context, buffer, length, count); });
}

void Tav_BslClose(CardContext* context) {
  if (context) close_boot_loader(*context);
}

}  // extern "C"
