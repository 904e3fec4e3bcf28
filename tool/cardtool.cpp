#include "cardtool.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace cardlink;

BoardRecord m_tavmcu_info_list[kBoardTableSize];
std::uint8_t m_hid_count = 0;
pthread_mutex_t m_msp430_lock;

namespace {

constexpr unsigned short kCardVendorId = 0x2933;

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

// Holds the channel lock for the exchanges of one device conversation.
class ChannelLock {
 public:
  ChannelLock() { pthread_mutex_lock(&m_msp430_lock); }
  ~ChannelLock() { pthread_mutex_unlock(&m_msp430_lock); }
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;
};

// Fills the board table from the enumeration. Every device is counted; only the first eight
// are stored, and a path that does not fit its record is not stored at all (a cut path could
// name another device).
void list_boards() {
  hid_device_info* devices = hid_enumerate(kCardVendorId, 0);
  for (hid_device_info* d = devices; d; d = d->next) {
    std::printf("Device Found\n  type: %04hx %04hx\n  path: %s\n", d->vendor_id, d->product_id, d->path);
    if (m_hid_count < kBoardTableSize) {
      BoardRecord& record = m_tavmcu_info_list[m_hid_count];
      if (std::strlen(d->path) < sizeof record.path)
        std::memcpy(record.path, d->path, std::strlen(d->path) + 1);
      else
        std::printf("  path longer than %d characters: board not usable\n", kBoardPathSize - 1);
    }
    ++m_hid_count;
  }
  hid_free_enumeration(devices);
  std::printf("Total %d board found\n", m_hid_count);
}

}  // namespace

const ChannelProfile kToolChannel = {
    command_bit(MCU_CMD_FW_VERSION) | command_bit(MCU_CMD_PRODUCT_ID) | command_bit(MCU_CMD_READ_01_01) |
        command_bit(MCU_CMD_READ_01_04) | command_bit(MCU_CMD_READ_01_05) | command_bit(MCU_CMD_CARD_ID) |
        command_bit(MCU_CMD_READ_02_09) | command_bit(MCU_CMD_READ_DATA),
    command_bit(MCU_CMD_SWITCH_TO_ISP),
    print,
    print,
    nullptr,
    true,
};

void print_usage() {
  std::printf("Usage: ./cardtool  -h or for ./cardtool --help for help \n");
  std::printf("mcu info read ./cardtool [-i/-I]  \n");
  std::printf("switch to boot mode ./cardtool [-isp/-ISP]  \n");
}

void show_all_fw_info() {
  int records = m_hid_count < kBoardTableSize ? m_hid_count : kBoardTableSize;
  for (int i = 0; i < records; ++i) {
    const BoardRecord& record = m_tavmcu_info_list[i];
    hid_device* device = hid_open_path(record.path);
    if (!device) {
      std::printf("Board %d Error Access!!\n", record.board_id);
      continue;
    }
    hid_set_nonblocking(device, 1);
    {
      ChannelLock lock;
      mcu_read_write_flash(kToolChannel, device);
      char fw_version[5] = {}, boot_version[5] = {};
      if (mcu_read_fwversion(kToolChannel, device, fw_version, boot_version) == 0)
        std::printf("Firmware version=%s Boot version=%s \n", fw_version, boot_version);
      else
        std::printf("Board Index=%d Get Fw /Boot version Error\n", record.board_id);
    }
    hid_close(device);
  }
}

int mcu_switch_to_boot() {
  const BoardRecord& record = m_tavmcu_info_list[0];
  std::printf("open %s\n", record.path);
  hid_device* device = hid_open_path(record.path);
  if (!device) {
    std::printf("Board %d Error Access!!\n", record.board_id);
    return -1;
  }
  std::printf("switch to boot comamand\n");
  hid_set_nonblocking(device, 1);
  int result = 0;
  {
    ChannelLock lock;
    mcu_read_write_flash(kToolChannel, device);
    if (mcu_write_command(kToolChannel, device, MCU_CMD_SWITCH_TO_ISP, nullptr) < 0) {
      std::printf("Switch to isp mode fail\n");
      result = -1;
    }
  }
  hid_close(device);
  return result;
}

hid_device* hid_open_boardid(std::int8_t board_id) {
  int records = m_hid_count < kBoardTableSize ? m_hid_count : kBoardTableSize;
  for (int i = 0; i < records; ++i)
    if (m_tavmcu_info_list[i].board_id == board_id) return hid_open_path(m_tavmcu_info_list[i].path);
  return nullptr;
}

int get_board_fw_info(std::int8_t board_id, char fw_version[5], char boot_version[5], char product_id[7]) {
  hid_device* device = hid_open_boardid(board_id);
  if (!device) {
    std::printf("Invalid board Id or Open board %d error!!\n", board_id);
    return -1;
  }
  hid_set_nonblocking(device, 1);
  int result = -1;
  {
    ChannelLock lock;
    mcu_read_write_flash(kToolChannel, device);
    if (mcu_read_fwversion(kToolChannel, device, fw_version, boot_version) == 0 &&
        mcu_read_product_id(kToolChannel, device, product_id) == 0)
      result = 0;
  }
  hid_close(device);
  return result;
}

int cardtool_main(int argc, char** argv) {
  pthread_mutex_init(&m_msp430_lock, nullptr);
  int status = 0;
  if (hid_init() != 0) {
    std::printf("hid_init failed error\n");
    status = -1;
  } else {
    list_boards();
    if (m_hid_count != 1) {
      std::printf("Board number = 0 or exceed 1 , only one board for fw update , please remove extra board!!\n");
    } else {
      const char* option = argc > 1 ? argv[1] : "";
      if (!std::strcmp(option, "-i") || !std::strcmp(option, "-I")) {
        show_all_fw_info();
      } else if (!std::strcmp(option, "-isp") || !std::strcmp(option, "-ISP")) {
        if (mcu_switch_to_boot() == 0) std::printf("mcu switch to boot mode\n");
      } else {
        print_usage();
      }
    }
  }
  hid_exit();
  pthread_mutex_destroy(&m_msp430_lock);
  return status;
}
