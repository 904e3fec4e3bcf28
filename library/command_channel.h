// The command channel to the card controller's application firmware: ASCII command texts in
// 64-byte HID reports (report id 0x3F, text length, text), read replies polled with fixed
// pauses, and the decoders for the replies the system interprets.
//
// One channel serves two deliverables. What differs between them (the ids each offers, which
// messages are printed or traced, how a failed switch write is judged) is a ChannelProfile that
// the deliverable hands to every call.
#pragma once

#include <hidapi.h>

#include <cstdint>

#include "card_protocol.h"

namespace cardlink {

enum McuCommand : int {
  MCU_CMD_FW_VERSION = 0,
  MCU_CMD_PRODUCT_ID = 1,
  MCU_CMD_READ_01_01 = 2,
  MCU_CMD_READ_01_04 = 3,
  MCU_CMD_READ_01_05 = 4,
  MCU_CMD_CARD_ID = 5,
  MCU_CMD_SWITCH_TO_ISP = 6,
  MCU_CMD_READ_02_09 = 8,
  MCU_CMD_WRITE_DATA = 18,
  MCU_CMD_SET_READ_ADDRESS = 19,
  MCU_CMD_READ_DATA = 20,
};

constexpr int kCommandTextCapacity = 62;
constexpr unsigned char kCommandReportId = 0x3F;
constexpr int kPauseMs = 100;
constexpr int kReplyPolls = 3;
constexpr int kMaxDrainedReports = 64;  // the priming read never spins on a device that keeps sending

// Every wait of the channel goes through here. Cardlink and cardtool link the definition that
// sleeps (system_pause.cpp); tests and fuzzers link one that moves the virtual bus's clock.
void pause_ms(int milliseconds);

// The command text of an id, or nullptr for an id that is not a command.
const char* mcu_command_text(int id);

using MessageSink = void (*)(const char* format, ...);

struct ChannelProfile {
  std::uint32_t read_ids;    // bit i: id i is offered by mcu_read_command
  std::uint32_t write_ids;   // bit i: id i is offered by mcu_write_command
  MessageSink notice;        // "mcu command not support", "Unable to write()", ...; nullptr: silent
  MessageSink error_text;    // "Error: %ls" with the HID layer's error text
  MessageSink trace;         // "write buf =%s", "%d wdata =%s"; nullptr: none
  bool switch_write_needs_bytes;  // a switch write of fewer than 1 byte fails with -1
};

constexpr std::uint32_t command_bit(int id) { return 1u << id; }

// Results: above 0 a byte count, 0 nothing arrived or the id is not offered, below 0 failure.
// A command text that would not fit the 62-character field is refused with -1, nothing sent.
int mcu_read_command(const ChannelProfile& p, hid_device* device, int id, unsigned char reply[kReportSize]);
int mcu_write_command(const ChannelProfile& p, hid_device* device, int id, const char* data_text);
int mcu_write_data(const ChannelProfile& p, hid_device* device, const char* address, const char* length_field,
                   const char* data_text);
// The priming read that opens every device conversation: a card-id read whose reply is dropped,
// then every report that is still waiting is dropped too.
void mcu_read_write_flash(const ChannelProfile& p, hid_device* device);

// Decoders: 0 on success, -1 when no reply came (outputs untouched).
int mcu_read_card_id(const ChannelProfile& p, hid_device* device, std::int8_t* card_id);
int mcu_read_fwversion(const ChannelProfile& p, hid_device* device, char fw_version[5], char boot_version[5]);
int mcu_read_product_id(const ChannelProfile& p, hid_device* device, char product_id[7]);

// Value of one hexadecimal digit, -1 for any other character.
int ascii_to_dec(char c);

}  // namespace cardlink
