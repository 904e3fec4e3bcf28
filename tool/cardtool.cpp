#include "cardtool.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "card_protocol.h"
#include "card_session.h"
#include "cardlink_version.h"
#include "tool_channel.h"
#include "usb_port.h"

using namespace cardlink;

namespace {

constexpr int kBoardPathSize = 50;  // at most 49 characters and the NUL

// Exit statuses. A failed HID start ends with -1 (255).
constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kNotOneBoard = 3;

struct BoardRecord {
  char path[kBoardPathSize];
  std::int8_t board_id;  // nothing fills it: every board prints as 0
};

BoardRecord m_tavmcu_info_list[kCardTableCapacity];
std::uint8_t m_hid_count = 0;
pthread_mutex_t m_msp430_lock;

int records_in_use() { return m_hid_count < kCardTableCapacity ? m_hid_count : kCardTableCapacity; }

// Fills the board table from the enumeration. Every device is counted; only the first eight
// are stored, and a path that does not fit its record is not stored at all (a cut path could
// name another device).
void list_boards() {
  hid_device_info* devices = hid_enumerate(kCardVendorId, 0);
  for (hid_device_info* d = devices; d; d = d->next) {
    std::printf("Device Found\n  type: %04hx %04hx\n  path: %s\n", d->vendor_id, d->product_id, d->path);
    if (m_hid_count < kCardTableCapacity) {
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

// A board that cannot be opened is most often a node this user may not use: say what grants
// access. A node that is missing or busy gets no hint, which would only mislead.
void report_open_failure(const BoardRecord& record) {
  std::printf("Board %d Error Access!!\n", record.board_id);
  if (record.path[0] != '\0' && access(record.path, R_OK | W_OK) != 0 && errno == EACCES)
    std::printf("  %s: no read/write access for this user; install the udev rule (see cardtool(1)) "
                "and join the plugdev group\n",
                record.path);
}

void print_usage() {
  std::printf("Usage: ./cardtool  -h or for ./cardtool --help for help \n");
  std::printf("mcu info read ./cardtool [-i/-I]  \n");
  std::printf("switch to boot mode ./cardtool [-isp/-ISP]  \n");
}

// 0 when the boards from `first` to `last` gave their versions, -1 when any could not be opened
// or read.
int show_fw_info(int first, int last) {
  int result = 0;
  for (int i = first; i <= last; ++i) {
    const BoardRecord& record = m_tavmcu_info_list[i];
    CardSession session(kToolChannel, record.path, &m_msp430_lock);
    if (!session.is_open()) {
      report_open_failure(record);
      result = -1;
      continue;
    }
    session.start();
    char fw_version[5] = {}, boot_version[5] = {};
    if (mcu_read_fwversion(kToolChannel, session.device(), fw_version, boot_version) == 0) {
      std::printf("Firmware version=%s Boot version=%s \n", fw_version, boot_version);
    } else {
      std::printf("Board Index=%d Get Fw /Boot version Error\n", record.board_id);
      result = -1;
    }
  }
  return result;
}

int mcu_switch_to_boot(int index) {
  const BoardRecord& record = m_tavmcu_info_list[index];
  std::printf("open %s\n", record.path);
  CardSession session(kToolChannel, record.path, &m_msp430_lock);
  if (!session.is_open()) {
    report_open_failure(record);
    return -1;
  }
  std::printf("switch to boot comamand\n");
  session.start();
  if (mcu_write_command(kToolChannel, session.device(), MCU_CMD_SWITCH_TO_ISP, nullptr) < 0) {
    std::printf("Switch to isp mode fail\n");
    return -1;
  }
  return 0;
}

// The first board with this board id, opened but not started; not open when there is none.
CardSession hid_open_boardid(std::int8_t board_id) {
  for (int i = 0; i < records_in_use(); ++i)
    if (m_tavmcu_info_list[i].board_id == board_id)
      return CardSession(kToolChannel, m_tavmcu_info_list[i].path, &m_msp430_lock);
  return CardSession();
}

// Versions and product id of one board, chosen by board id. No option of the command line asks
// for it (the board id is never filled), so nothing calls it yet.
[[maybe_unused]] int get_board_fw_info(std::int8_t board_id, char fw_version[5], char boot_version[5],
                                       char product_id[7]) {
  CardSession session = hid_open_boardid(board_id);
  if (!session.is_open()) {
    std::printf("Invalid board Id or Open board %d error!!\n", board_id);
    return -1;
  }
  session.start();
  if (mcu_read_fwversion(kToolChannel, session.device(), fw_version, boot_version) == 0 &&
      mcu_read_product_id(kToolChannel, session.device(), product_id) == 0)
    return 0;
  return -1;
}

bool is_info(const char* option) { return !std::strcmp(option, "-i") || !std::strcmp(option, "-I"); }
bool is_switch(const char* option) { return !std::strcmp(option, "-isp") || !std::strcmp(option, "-ISP"); }

// -i or -isp on the board in `index`.
int dispatch(const char* option, int index) {
  if (is_info(option)) return show_fw_info(index, index) == 0 ? kDone : kFailed;
  if (is_switch(option)) {
    if (mcu_switch_to_boot(index) != 0) return kFailed;
    std::printf("mcu switch to boot mode\n");
    return kDone;
  }
  print_usage();
  return !std::strcmp(option, "-h") || !std::strcmp(option, "--help") ? kDone : kUsageError;
}

// The board at `port` among those listed, or -1 after saying why there is none.
int board_at_port(const char* port) {
  bool any_port = false;
  for (int i = 0; i < records_in_use(); ++i) {
    char at[kPortFieldSize];
    if (!usb_port_of(m_tavmcu_info_list[i].path, at)) continue;
    any_port = true;
    if (same_port(at, port)) return i;
  }
  if (any_port)
    std::printf("No board at port %s\n", port);
  else
    std::printf("No USB ports are shown on this system (no sysfs): --card cannot choose a board\n");
  return -1;
}

}  // namespace

int cardtool_main(int argc, char** argv) {
  // The version needs no board: it is answered before the HID layer starts.
  if (argc > 1 && !std::strcmp(argv[1], "--version")) {
    std::printf("cardtool %s\n", cardlink::kProjectVersion);
    return kDone;
  }
  // A caller may run the tool more than once in one process: each run lists the boards afresh.
  m_hid_count = 0;
  std::memset(m_tavmcu_info_list, 0, sizeof m_tavmcu_info_list);
  pthread_mutex_init(&m_msp430_lock, nullptr);
  int status = kDone;
  if (hid_init() != 0) {
    std::printf("hid_init failed error\n");
    status = -1;
  } else {
    list_boards();
    // -i or -isp with --card PORT: one board of several, chosen by its USB port.
    const bool chosen = argc == 4 && (is_info(argv[1]) || is_switch(argv[1])) && !std::strcmp(argv[2], "--card");
    if (chosen) {
      const int index = is_port_text(argv[3]) ? board_at_port(argv[3]) : -1;
      if (!is_port_text(argv[3])) print_usage();
      status = index >= 0 ? dispatch(argv[1], index) : is_port_text(argv[3]) ? kNotOneBoard : kUsageError;
    } else if (m_hid_count != 1) {
      std::printf("Board number = 0 or exceed 1 , only one board for fw update , please remove extra board!!\n");
      status = kNotOneBoard;
    } else {
      status = dispatch(argc > 1 ? argv[1] : "", 0);
    }
  }
  hid_exit();
  pthread_mutex_destroy(&m_msp430_lock);
  return status;
}
