// Resource and control identifiers shared by the .rc file and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDR_TRAY_MENU 129

#define IDD_BRINVALE_DIALOG 102
#define IDD_SETTING_DIALOG 103
#define IDD_STATUS_DIALOG 104
#define IDD_ABOUTBOX 105
#define IDD_UPDATE_DIALOG 106

// Main window
#define IDC_PORT_LIST 1000
#define IDC_SPEED_LIST 1001
#define IDC_CONNECT 1002
#define IDC_DISCONNECT 1003
#define IDC_SETTINGS 1004
#define IDC_LINK_STATUS 1005
#define IDC_PROGRESS_TEXT 1006
#define IDC_TRANSFER_BAR 1007
#define IDC_TRANSFER_LABEL 1021

// Status window (its progress text shares 1006)
#define IDC_ALPHA_SLIDER 1016
#define IDC_STATUS_LINK 1017
#define IDC_STATUS_BAR 1018
#define IDC_STATUS_LABEL 1022

// Settings dialog (its status window check box shares 1016)
#define IDC_CLOSE_SETTINGS 1009
#define IDC_RUN_AT_LOGON 1010
#define IDC_AUTO_CONNECT 1011
#define IDC_START_PORT 1012
#define IDC_START_SPEED 1013
#define IDC_LOG_SWITCH 1014
#define IDC_LOG_FOLDER 1015
#define IDC_SHOW_STATUS 1016
#define IDC_REMOVE_PROGRAM 1023
#define IDC_SETTING_VERSION 1024

// About dialog
#define IDC_ABOUT_ICON 1025
#define IDC_ABOUT_TITLE 1026
#define IDC_ABOUT_NOTICE 1027
#define IDC_LINK_TERMINAL 1028
#define IDC_LINK_PROGRAM 1029
#define IDC_LINK_SETUP 1030
#define IDC_HELP_GROUP 1031
#define IDC_ABOUT_VERSION 1034

// Download window
#define IDC_UPDATE_PROGRESS 1035

// Notification menu
#define ID_TRAY_SHOW 32776
#define ID_TRAY_ABOUT 32777
#define ID_TRAY_EXIT 32778
#define ID_TRAY_HIDE 32779
#define ID_TRAY_STATUS_SHOW 32781
#define ID_TRAY_STATUS_HIDE 32783

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
