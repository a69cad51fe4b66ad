// Dialogs 100 and 102, strings 101 and 102, icons 128 and 130 to 136.
// Texts are used exactly as they stand, double blanks included.
#include "res/templates.h"

#include "platform/winapi.h"
#include "res/resource.h"
#include "res/version.h"

#include <algorithm>

namespace res {
namespace {

constexpr std::uint32_t kTabStop = WS_TABSTOP;
constexpr std::uint32_t kGroup = WS_GROUP;

const ControlTemplate kAboutControls[] = {
    {IDC_STATIC, ControlKind::StaticIcon, "IDR_MAINFRAME", IDR_MAINFRAME, 10, 10, 20, 20, 0},
    {IDC_STATIC, ControlKind::StaticText, "Tavisol UI Version " TAVISOL_VERSION_TEXT, 0, 55, 15, 89,
     8, SS_NOPREFIX | kGroup},
    {IDC_STATIC, ControlKind::StaticText, "Copyright (C) 2026", 0, 55, 35, 145, 8, kGroup},
    {IDOK, ControlKind::DefPushButton, "OK", 0, 209, 7, 50, 14, kGroup | kTabStop},
    {IDC_STATIC, ControlKind::StaticRect, "", 0, 45, 55, 185, 1, SS_BLACKRECT},
    {IDC_STATIC, ControlKind::StaticText, "Description :", 0, 50, 60, 42, 8, kGroup},
    {IDC_STATIC, ControlKind::StaticText,
     "This utility will  detect Vellumcrest series  in local LAN, and assign its IP address.", 0,
     50, 75, 180, 20, kGroup},
    {IDC_STATIC, ControlKind::StaticRect, "", 0, 45, 105, 185, 1, SS_BLACKFRAME},
    {IDC_STATIC, ControlKind::StaticText, "Running on : OSVERSION", 0, 50, 125, 84, 8, kGroup},
};

const ControlTemplate kMainControls[] = {
    {IDCANCEL, ControlKind::PushButton, "Close", 0, 190, 135, 55, 14, kTabStop},
    {IDC_DEVICE_LIST, ControlKind::ListView, "List1", 0, 10, 30, 170, 120,
     LVS_REPORT | WS_BORDER | kTabStop},
    {IDC_STATUS_ICON, ControlKind::StaticIcon, "IDI_STATUS_IDLE", IDI_STATUS_IDLE, 10, 5, 20, 20,
     0},
    {IDC_STATIC, ControlKind::StaticIcon, "IDI_DEVICE_2", IDI_DEVICE_2, 220, 5, 20, 20, 0},
    {IDC_SEARCH, ControlKind::PushButton, "Search", 0, 190, 40, 55, 14, kTabStop},
    {IDC_WEB_BROWSER, ControlKind::PushButton, "Web Browser..", 0, 190, 65, 55, 14, kTabStop},
};

const ControlTemplate kAssignControls[] = {
    {IDOK, ControlKind::DefPushButton, "Assign IP", 0, 20, 95, 50, 14, kTabStop},
    {IDCANCEL, ControlKind::PushButton, "Cancel", 0, 115, 95, 50, 14, kTabStop},
    {IDC_STATIC, ControlKind::StaticText, "Hardware Address :", 0, 10, 10, 65, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "IP Address :", 0, 10, 30, 40, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "Subnet Mask :", 0, 10, 50, 47, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "Gateway :", 0, 10, 70, 33, 8, 0},
    {IDC_HARDWARE_ADDRESS, ControlKind::Edit, "", 0, 85, 10, 90, 12,
     ES_READONLY | ES_AUTOHSCROLL | kTabStop, WS_EX_STATICEDGE},
    {IDC_IP_ADDRESS, ControlKind::Edit, "", 0, 85, 30, 90, 12,
     WS_BORDER | ES_AUTOHSCROLL | kTabStop},
    {IDC_SUBNET_MASK, ControlKind::Edit, "", 0, 85, 50, 90, 12,
     WS_BORDER | ES_AUTOHSCROLL | kTabStop},
    {IDC_GATEWAY, ControlKind::Edit, "", 0, 85, 70, 90, 12, WS_BORDER | ES_AUTOHSCROLL | kTabStop},
};

const DialogTemplate kDialogs[] = {
    {IDD_ABOUTBOX, "About Tavisol", 266, 155,
     WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0, "MS Shell Dlg", 9,
     kAboutControls},
    {IDD_VELLUMCRESTUI_DIALOG, "KESTOVA Tavisol UI  V" TAVISOL_VERSION_TEXT, 252, 159,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX |
         DS_MODALFRAME | DS_SETFONT,
     WS_EX_APPWINDOW, "MS Shell Dlg", 9, kMainControls},
    {IDD_ADDRESS_ASSIGN, "IP ASSIGN DIALOG", 181, 123,
     WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT, 0, "System", 10, kAssignControls},
};

const StringResource kStrings[] = {
    {IDS_ABOUTBOX, "\xE9\x97\x9C\xE6\x96\xBC Tavisol(&A)..."}, // Traditional Chinese: About Tavisol
    {IDS_LINK_FAILED, "Failed to link Vellumcrest II server!"},
};

const IconResource kIcons[] = {
    {IDR_MAINFRAME, "app"},
    {IDI_STATUS_IDLE, "status-idle"},
    {IDI_STATUS_LEFT, "status-left"},
    {IDI_STATUS_RIGHT, "status-right"},
    {IDI_STATUS_MIDDLE, "status-middle"},
    {IDI_DEVICE_1, "device-blue"},
    {IDI_DEVICE_0, "device-green"},
    {IDI_DEVICE_2, "device-orange"},
};

template <typename T> const T* FindById(std::span<const T> items, int id) {
    auto it = std::find_if(items.begin(), items.end(), [id](const T& t) { return t.id == id; });
    return it == items.end() ? nullptr : &*it;
}

} // namespace

std::span<const DialogTemplate> AllDialogs() {
    return kDialogs;
}
std::span<const StringResource> AllStrings() {
    return kStrings;
}
std::span<const IconResource> AllIcons() {
    return kIcons;
}

const DialogTemplate* FindDialog(int id) {
    return FindById(AllDialogs(), id);
}
const IconResource* FindIcon(int id) {
    return FindById(AllIcons(), id);
}
const char* FindString(int id) {
    const StringResource* s = FindById(AllStrings(), id);
    return s ? s->text : nullptr;
}

} // namespace res
