// Dialog template 103 and the program's images.
#include <iterator>

#include "client_dialog.h"
#include "images.h"

namespace kvcli {

namespace {

using kvp::ControlClass;
using kvp::DialogItem;

constexpr uint32_t kEditStyle = kvp::kWsBorder | kvp::kEsAutoHScroll | kvp::kWsTabStop;
constexpr uint32_t kPush = kvp::kBsPushButton | kvp::kWsTabStop;
constexpr uint32_t kRadio = kvp::kBsAutoRadioButton | kvp::kWsTabStop;
constexpr uint32_t kFrame = kvp::kBsGroupBox;

// In tab order.
const DialogItem kItems[] = {
    {kIdServer, ControlClass::kEdit, kEditStyle, 0, 42, 18, 136, 14, nullptr, 0},
    {kIdUpload, ControlClass::kButton, kRadio | kvp::kWsGroup, 0, 30, 51, 39, 10, "&Upload", 0},
    {kIdDownload, ControlClass::kButton, kRadio, 0, 112, 51, 48, 10, "&Download", 0},
    {kIdText, ControlClass::kButton, kRadio | kvp::kWsGroup, 0, 14, 79, 30, 10, "&Text", 0},
    {kIdBinary, ControlClass::kButton, kRadio, 0, 61, 79, 35, 10, "&Binary", 0},
    {kIdLogEnabled, ControlClass::kButton, kvp::kBsAutoCheckBox | kvp::kWsTabStop, 0, 120, 80, 42,
     10, "&Enabled", 0},
    {kIdChooseLog, ControlClass::kButton, kPush, 0, 165, 79, 11, 14, "...", 0},
    {kIdLocalPath, ControlClass::kEdit, kEditStyle, 0, 13, 108, 147, 14, nullptr, 0},
    {kIdChooseLocal, ControlClass::kButton, kPush, 0, 165, 108, 11, 14, "...", 0},
    {kIdRemotePath, ControlClass::kEdit, kEditStyle, 0, 13, 139, 163, 14, nullptr, 0},
    {kIdGo, ControlClass::kButton, kvp::kBsDefPushButton | kvp::kWsTabStop, 0, 37, 161, 48, 14,
     "&Go", 0},
    {kIdClose, ControlClass::kButton, kPush, 0, 104, 161, 48, 14, "&Close", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 35, 7, 148, 29, "TFTP server", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 39, 176, 29, "Action", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 69, 104, 29, "Transfer mode", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 116, 68, 67, 29, "Transfer logging", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 98, 176, 29, "Local path", 0},
    {kvp::kNoId, ControlClass::kButton, kFrame, 0, 7, 130, 176, 29, "Remote path", 0},
    {kIdIcon, ControlClass::kStatic, kvp::kSsIcon, 0, 9, 12, 20, 20, nullptr, kProgramIconId},
    {kIdStatus, ControlClass::kStatic, kvp::kSsLeft | kvp::kSsSunken, 0, 7, 177, 176, 10, nullptr,
     0},
};

const kvp::ImageResource kImages[] = {
    {kProgramIconId, kvimg::kTftpGears32, kvimg::kTftpGears16},
};

}  // namespace

const kvp::DialogTemplate kClientDialog = {
    kClientDialogId,
    kvp::kWsPopup | kvp::kWsCaption | kvp::kWsSysMenu | kvp::kWsMinimizeBox | kvp::kDsModalFrame |
        kvp::kDsCenter | kvp::kDsSetFont,
    190,
    194,
    "Korvane TFTP client v2.0",
    "MS Sans Serif",
    8,
    kItems,
    std::size(kItems),
};

const kvp::ModuleResources kClientResources = {kImages, std::size(kImages)};

}  // namespace kvcli
