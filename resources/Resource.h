// Resource numbers of the Windows program (icons, menus, dialogs, controls and
// commands), shared by the .rc file and the shell's code.
#pragma once

#define IDI_APP 10
#define IDI_DISCONNECTED 11
#define IDI_NO_SERVER 12
#define IDI_NO_CLIENT 13
#define IDI_CONNECTED 14
#define IDI_STOPPED 15
#define IDI_ABOUT 16
#define IDI_VERSION 17

#define IDR_MAINMENU 200
#define IDR_TRAYMENU 210

#define IDM_OPEN 201
#define IDM_START 202
#define IDM_STOP 203
#define IDM_CONFIGURE 204
#define IDM_ABOUT 205
#define IDM_EXIT 206

#define IDC_LOGVIEW 101
#define IDC_STATUSBAR 102

#define IDD_ABOUT 1000
#define IDD_CONFIG 1001
#define IDD_VERSION 1002

#define IDC_BT_AUTO 1100
#define IDC_BT_MANUAL 1101
#define IDC_BT_PORT 1102
#define IDC_USB_AUTO 1103
#define IDC_USB_MANUAL 1104
#define IDC_USB_PORT 1105
#define IDC_TCP_PORT 1106
#define IDC_DO_SYNC 1107
#define IDC_SYNC_DIR 1108
#define IDC_BROWSE 1109
#define IDC_MAX_SIZE 1110
#define IDC_EXCLUDE 1111
#define IDC_MAX_SIZE_SPIN 1115
#define IDC_VERSION_TEXT 1200

#define KIVRO_VERSION_MAJOR 2
#define KIVRO_VERSION_MINOR 2
