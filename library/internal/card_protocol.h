// The card controller's protocol constants that the library, the updater and cardtool share. The
// simulator keeps values of its own on purpose: a wrong value here is then caught by a test
// instead of being agreed to by both sides.
#pragma once

#include <cstdint>

namespace cardlink {

// USB vendor id of the card controller's application firmware.
constexpr std::uint16_t kCardVendorId = 0x2933;
// Every report on the wire, to the card and to its boot loader: the report id and 63 bytes.
constexpr int kReportSize = 64;
// Cards recorded by one context (and the rows of Tav_GetCardIdTable's table); cardtool's board
// table holds as many.
constexpr int kCardTableCapacity = 8;

}  // namespace cardlink
