// cardtool: lists the card controllers on the USB bus and, when exactly one is present, prints
// its versions or switches it into its boot loader.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "command_channel.h"

constexpr int kBoardTableSize = 8;
constexpr int kBoardPathSize = 50;  // at most 49 characters and the NUL

struct BoardRecord {
  char path[kBoardPathSize];
  std::int8_t board_id;
};

extern BoardRecord m_tavmcu_info_list[kBoardTableSize];
extern std::uint8_t m_hid_count;
extern pthread_mutex_t m_msp430_lock;
// The command channel as the tool uses it: every read id but the serial-number ones, the switch
// as the only write, every diagnostic printed.
extern const cardlink::ChannelProfile kToolChannel;

void print_usage();
void show_all_fw_info();
int mcu_switch_to_boot();
int get_board_fw_info(std::int8_t board_id, char fw_version[5], char boot_version[5], char product_id[7]);
hid_device* hid_open_boardid(std::int8_t board_id);

int cardtool_main(int argc, char** argv);
