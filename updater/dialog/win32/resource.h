// Resource and control ids of the Cardflash window (cardflash.rc), and its private message.
#pragma once

#define IDD_CARDFLASH_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_LOG 1000
#define IDC_DEVICE_SCAN 1003
#define IDC_FW_UPDATE 1004
#define IDC_CLOSE 1005
#define IDC_TEST 1006

// Sent to the window, both parameters 0, to show the log text as it stands.
#define WM_LOG_UPDATE (WM_USER + 0x106)
