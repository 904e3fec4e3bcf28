#include "command_channel.h"

#include <cstdio>
#include <cstring>

namespace cardlink {

namespace {

void pause_100ms() { pause_ms(kPauseMs); }

template <typename... Args>
void emit(MessageSink sink, const char* format, Args... args) {
  if (sink) sink(format, args...);
}

const wchar_t* error_of(hid_device* device) {
  const wchar_t* text = hid_error(device);
  return text ? text : L"(no error text)";
}

// Builds the report for `id` (with `data_text` after the prefix of ids 18 and 19). Returns the
// number of bytes to hand to the HID write, or -1 when the text does not fit the report.
int compose(int id, const char* data_text, unsigned char report[kReportSize]) {
  const char* command = mcu_command_text(id);
  std::size_t prefix = std::strlen(command);
  std::size_t extra = data_text ? std::strlen(data_text) : 0;
  if (prefix + extra > static_cast<std::size_t>(kCommandTextCapacity)) return -1;
  char text[kCommandTextCapacity + 1] = {};
  std::memcpy(text, command, prefix);
  if (extra) std::memcpy(text + prefix, data_text, extra);
  std::memset(report, 0, kReportSize);
  report[0] = kCommandReportId;
  auto n = static_cast<std::uint8_t>(std::strlen(text));
  report[1] = n;
  std::memcpy(report + 2, text, n);
  // Id, count and text: the string length of the report for every text shorter than 62
  // characters, and the full report (not a read past its end) for one of exactly 62.
  return n + 2;
}

// Waits, then polls up to three times with a pause after each poll; stops at the first report.
int poll_reply(const ChannelProfile& p, hid_device* device, unsigned char reply[kReportSize]) {
  pause_100ms();
  int result = 0;
  for (int poll = 0; poll < kReplyPolls; ++poll) {
    result = hid_read(device, reply, kReportSize);
    if (result < 0) {
      emit(p.notice, "Unable to read()\n");
      return result;
    }
    pause_100ms();
    if (result > 0) break;
  }
  return result;
}

bool offered(std::uint32_t ids, int id) { return id >= 0 && id < 32 && (ids & command_bit(id)); }

}  // namespace

const char* mcu_command_text(int id) {
  switch (id) {
    case MCU_CMD_FW_VERSION: return "a100010008";
    case MCU_CMD_PRODUCT_ID: return "a100020006";
    case MCU_CMD_READ_01_01: return "a101010008";
    case MCU_CMD_READ_01_04: return "a101040004";
    case MCU_CMD_READ_01_05: return "a101050004";
    case MCU_CMD_CARD_ID: return "a102010004";
    case MCU_CMD_SWITCH_TO_ISP: return "2102040004ISPE\n";
    case MCU_CMD_READ_02_09: return "a10209000b";
    case MCU_CMD_WRITE_DATA: return "21020e00";
    case MCU_CMD_SET_READ_ADDRESS: return "21020f00";
    case MCU_CMD_READ_DATA: return "a102100020";
    default: return nullptr;
  }
}

int mcu_read_command(const ChannelProfile& p, hid_device* device, int id, unsigned char reply[kReportSize]) {
  if (!offered(p.read_ids, id)) {
    emit(p.notice, "mcu command not support\n");
    return 0;
  }
  unsigned char report[kReportSize + 1] = {};  // one spare NUL keeps the traced text terminated
  int length = compose(id, nullptr, report);
  emit(p.trace, "write buf =%s\n", reinterpret_cast<const char*>(report));
  int written = hid_write(device, report, static_cast<std::size_t>(length));
  if (written < 0) {
    emit(p.notice, "Unable to write()\n");
    emit(p.error_text, "Error: %ls\n", error_of(device));
    return written;
  }
  return poll_reply(p, device, reply);
}

int mcu_write_command(const ChannelProfile& p, hid_device* device, int id, const char* data_text) {
  if (!offered(p.write_ids, id)) return 0;
  unsigned char report[kReportSize + 1] = {};
  int length = compose(id, id == MCU_CMD_SWITCH_TO_ISP ? nullptr : data_text, report);
  if (length < 0) {
    emit(p.trace, "command text too long, not sent\n");
    return -1;
  }
  emit(p.trace, "write buf =%s\n", reinterpret_cast<const char*>(report));
  int written = hid_write(device, report, static_cast<std::size_t>(length));
  if (id == MCU_CMD_SWITCH_TO_ISP) {
    // No reply: the controller leaves its application for the boot loader.
    bool failed = p.switch_write_needs_bytes ? written < 1 : written < 0;
    if (failed) {
      emit(p.notice, "Unable to write()\n");
      emit(p.error_text, "Error: %ls\n", error_of(device));
      return p.switch_write_needs_bytes ? -1 : written;
    }
    return written;
  }
  if (written < 0) emit(p.error_text, "Error: %ls\n", error_of(device));
  // The acknowledgement is collected even after a failed write; its polls give the result.
  unsigned char acknowledgement[kReportSize] = {};
  return poll_reply(p, device, acknowledgement);
}

int mcu_write_data(const ChannelProfile& p, hid_device* device, const char* address, const char* length_field,
                   const char* data_text) {
  char text[kCommandTextCapacity + 1] = {};
  int n = std::snprintf(text, sizeof text, "%s%s%s", length_field ? length_field : "", address ? address : "",
                        data_text ? data_text : "");
  if (n < 0 || n >= static_cast<int>(sizeof text)) {
    emit(p.trace, "command text too long, not sent\n");
    return -1;
  }
  emit(p.trace, "%d wdata =%s\n", n, text);
  return mcu_write_command(p, device, MCU_CMD_WRITE_DATA, text);
}

void mcu_read_write_flash(const ChannelProfile& p, hid_device* device) {
  emit(p.notice, "MCU read write Flash\n");
  unsigned char scratch[kReportSize] = {};
  (void)mcu_read_command(p, device, MCU_CMD_CARD_ID, scratch);
  // A reply left in the card from an earlier conversation reaches the host as soon as the device
  // is opened, and the priming request's own reply queues behind it. The exchange above took the
  // old one; drop what still waits, or every later exchange would read the previous one's reply.
  for (int i = 0; i < kMaxDrainedReports && hid_read(device, scratch, kReportSize) > 0; ++i) {
  }
}

int mcu_read_card_id(const ChannelProfile& p, hid_device* device, std::int8_t* card_id) {
  unsigned char reply[kReportSize] = {};
  if (mcu_read_command(p, device, MCU_CMD_CARD_ID, reply) < 1) return -1;
  *card_id = static_cast<std::int8_t>(reply[9] - '0');
  return 0;
}

int mcu_read_fwversion(const ChannelProfile& p, hid_device* device, char fw_version[5], char boot_version[5]) {
  unsigned char reply[kReportSize] = {};
  if (mcu_read_command(p, device, MCU_CMD_FW_VERSION, reply) < 1) return -1;
  std::memcpy(fw_version, reply + 6, 4);
  fw_version[4] = '\0';
  std::memcpy(boot_version, reply + 10, 4);
  boot_version[4] = '\0';
  return 0;
}

int mcu_read_product_id(const ChannelProfile& p, hid_device* device, char product_id[7]) {
  unsigned char reply[kReportSize] = {};
  if (mcu_read_command(p, device, MCU_CMD_PRODUCT_ID, reply) < 1) return -1;
  std::memcpy(product_id, reply + 6, 6);
  product_id[6] = '\0';
  return 0;
}

int ascii_to_dec(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace cardlink
