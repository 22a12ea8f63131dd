// The applet's resources: dialog templates 102 and 103, its pictures and its strings.
#include <iterator>

#include "applet.h"
#include "images.h"

namespace kvcpl {

namespace {

using kvp::ControlClass;
using kvp::DialogItem;

constexpr uint32_t kTab = kvp::kWsTabStop;
constexpr uint32_t kPush = kvp::kBsPushButton | kTab;
constexpr uint32_t kIconPush = kPush | kvp::kBsIcon;
constexpr uint32_t kCheck = kvp::kBsAutoCheckBox | kTab;
constexpr uint32_t kStartType = kvp::kBsAutoRadioButton | kvp::kBsPushLike | kTab;
constexpr uint32_t kEdit = kvp::kWsBorder | kvp::kEsAutoHScroll | kTab;
constexpr uint32_t kFrame = kvp::kBsGroupBox;
constexpr uint32_t kDialogStyle =
    kvp::kWsPopup | kvp::kWsCaption | kvp::kWsSysMenu | kvp::kDsModalFrame | kvp::kDsSetFont;

// In tab order.
const DialogItem kServerItems[] = {
    {kIdStartStop, ControlClass::kButton, kIconPush | kvp::kWsGroup, 0, 14, 20, 25, 22, "Start", 0},
    {kIdPauseResume, ControlClass::kButton, kIconPush, 0, 43, 20, 25, 22, "Stop", 0},
    {kIdStartAuto, ControlClass::kButton, kStartType | kvp::kWsGroup, kvp::kWsExStaticEdge, 90, 17,
     83, 11, "Automatically on &boot", 0},
    {kIdStartManual, ControlClass::kButton, kStartType, kvp::kWsExStaticEdge, 90, 27, 83, 11,
     "&Manual startup", 0},
    {kIdStartDisabled, ControlClass::kButton, kStartType, kvp::kWsExStaticEdge, 90, 37, 83, 11,
     "&Disabled completely", 0},
    {kIdEnableLogging, ControlClass::kButton, kCheck | kvp::kWsGroup, 0, 13, 70, 63, 10,
     "Enable lo&gging", 0},
    {kIdEventViewer, ControlClass::kButton, kIconPush, 0, 85, 65, 16, 16, "Open event viewer", 0},
    {kIdUseDefaults, ControlClass::kButton, kPush | kvp::kBsMultiLine, 0, 118, 58, 31, 22,
     "Use\nde&faults", 0},
    {kIdAbout, ControlClass::kButton, kIconPush, 0, 155, 58, 25, 22, "About...", 0},
    {kIdRootDirectory, ControlClass::kEdit, kEdit, 0, 13, 99, 138, 15, nullptr, 0},
    {kIdBrowseRoot, ControlClass::kButton, kPush, 0, 157, 99, 16, 15, "...", 0},
    {kIdAllowUploads, ControlClass::kButton, kCheck, 0, 13, 132, 59, 10, "Allow &uploads", 0},
    {kIdAllowDownloads, ControlClass::kButton, kCheck, 0, 85, 132, 69, 10, "Allow down&loads", 0},
    {kIdAllowOverwrite, ControlClass::kButton, kCheck, 0, 13, 146, 67, 10, "Allow over&writes", 0},
    {kIdClientRestrict, ControlClass::kButton, kCheck, 0, 85, 146, 91, 10,
     "&Restrict to these clients:", 0},
    {kIdAllowedClients, ControlClass::kEdit, kEdit, 0, 13, 160, 160, 15, nullptr, 0},
    {kIdSendBackErrors, ControlClass::kButton, kCheck, 0, 13, 179, 162, 10,
     "Send service denial &errors to disallowed clients", 0},
    {kIdLogEventLogs, ControlClass::kButton, kCheck, 0, 13, 207, 130, 10,
     "Send e&vents to Windows Event Log", 0},
    {kIdLogSyslogs, ControlClass::kButton, kCheck | kvp::kBsMultiLine, 0, 13, 220, 157, 17,
     "Send events to this &Syslog host using level\nInfo, and this facility", 0},
    {kIdSyslogHost, ControlClass::kEdit, kEdit, 0, 25, 241, 70, 12, nullptr, 0},
    {kIdFacility, ControlClass::kComboBox, kvp::kCbsDropDownList | kvp::kWsVScroll | kTab, 0, 100,
     241, 70, 30, nullptr, 0},
    {kIdOk, ControlClass::kButton, kvp::kBsDefPushButton | kTab, 0, 6, 280, 43, 14, "&OK", 0},
    {kIdCancel, ControlClass::kButton, kPush, 0, 52, 280, 43, 14, "&Cancel", 0},
    {kIdApply, ControlClass::kButton, kPush | kvp::kWsDisabled, 0, 98, 280, 43, 14, "&Apply", 0},
    {kIdHelp, ControlClass::kButton, kPush, 0, 143, 280, 43, 14, "&Help", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 7, 71, 44, "Service state", 0},
    {kIdStatus, ControlClass::kStatic, kvp::kSsLeft, kvp::kWsExStaticEdge, 7, 264, 173, 13, nullptr,
     0},
    {1027, ControlClass::kButton, kFrame, 0, 7, 54, 105, 30, "Log service events", 0},
    {1028, ControlClass::kButton, kFrame, 0, 83, 7, 97, 44, "Service startup behaviour", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 121, 173, 74,
     "TFTP client access restrictions", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 197, 173, 65, "TFTP server log options", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 87, 173, 33,
     "Root directory for all file transfers", 0},
};

const DialogItem kProductItems[] = {
    {kIdOk, ControlClass::kButton, kvp::kBsDefPushButton | kTab, 0, 255, 126, 62, 18, "&OK", 0},
    {kIdProductPicture, ControlClass::kStatic, kvp::kSsBitmap, 0, 7, 7, 107, 49, nullptr,
     kBitmapProduct},
    {kIdProductText, ControlClass::kEdit,
     kvp::kEsMultiLine | kvp::kEsReadOnly | kvp::kEsAutoVScroll | kvp::kWsBorder, 0, 135, 7, 182,
     114, nullptr, 0},
};

const kvp::ImageResource kImages[] = {
    {kIconApplet, kvimg::kTftpGears32, kvimg::kTftpGears16},
    {kBitmapProduct, kvimg::kProduct160x80, nullptr},
    {kIconStop, kvimg::kStop32, nullptr},
    {kIconResume, kvimg::kResume32, nullptr},
    {kIconStart, kvimg::kStart32, nullptr},
    {kIconPause, kvimg::kPause32, nullptr},
    {kIconEventLog, kvimg::kNotepad32, kvimg::kNotepad16},
};

// The applet's name and description, as the control panel shows them.
KV_STRING_TABLE(kStrings) =
    "116\0TFTP Server\0"
    "117\0Configures and manages the TFTP server service\0";

}  // namespace

const kvp::DialogTemplate kServerDialog = {
    kDialogServer,
    kDialogStyle | kvp::kDsCenter,
    187,
    301,
    "TFTP server configuration",
    "MS Sans Serif",
    8,
    kServerItems,
    std::size(kServerItems),
};

const kvp::DialogTemplate kProductDialog = {
    kDialogProduct,
    kDialogStyle | kvp::kDsCenter,
    324,
    151,
    "Product information",
    "MS Sans Serif",
    8,
    kProductItems,
    std::size(kProductItems),
};

const kvp::ModuleResources kAppletResources = {kImages, std::size(kImages)};

}  // namespace kvcpl
