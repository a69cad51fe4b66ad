// Resource identifiers: dialogs, controls, icons and strings.
// Plain #defines so that a resource compiler can read this file too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_VELLUMCRESTUI_DIALOG 102
#define IDS_LINK_FAILED 102
#define IDR_MAINFRAME 128
#define IDI_STATUS_IDLE 130
#define IDI_STATUS_LEFT 131
#define IDI_STATUS_RIGHT 132
#define IDI_STATUS_MIDDLE 133
#define IDI_DEVICE_1 134
#define IDI_DEVICE_0 135
#define IDI_DEVICE_2 136
#define IDD_ADDRESS_ASSIGN 138

#define IDC_DEVICE_LIST 1000
#define IDC_STATUS_ICON 1001
#define IDC_SEARCH 1002
#define IDC_WEB_BROWSER 1003
#define IDC_HARDWARE_ADDRESS 1004
#define IDC_IP_ADDRESS 1005
#define IDC_SUBNET_MASK 1006
#define IDC_GATEWAY 1007

#define IDM_ABOUTBOX 0x0010
#define IDC_STATIC (-1)
