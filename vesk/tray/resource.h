// Resource and control identifiers of the tray's icons, menu and dialogs.
// Shared by vesk.rc and the tray code.
#ifndef VESK_TRAY_RESOURCE_H
#define VESK_TRAY_RESOURCE_H

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDI_VESK_IDLE 105
#define IDI_VESK_BUSY0 109
#define IDI_VESK_BUSY1 110

#define IDR_VESK_MENU 106
#define IDM_BOARD_INFO 40001
#define IDM_DELAY 40002
#define IDM_SETTINGS_PAGE 40003
#define IDM_VOLUME 40004

#define IDD_DELAY 107
#define IDC_DELAY_EDIT 1001

#define IDD_VOLUME 112
#define IDC_VOLUME_TRACK 1003
#define IDC_VOLUME_DB 1004

#define IDD_BOARD_INFO 114
#define IDC_INFO_NAME 1005
#define IDC_INFO_IPV6 1006
#define IDC_INFO_IPV4 1007
#define IDC_INFO_CHIP0 1008
#define IDC_INFO_INUSE0 1012

#endif  // VESK_TRAY_RESOURCE_H
