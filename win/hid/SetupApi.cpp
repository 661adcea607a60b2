#include "win/hid/SetupApi.h"

#include <array>
#include <string_view>

namespace nuv::hid {
namespace {

// The library's whole interface; where a function has ANSI and wide forms both are looked up,
// and the layer calls the ANSI one.
constexpr std::array<const char*, 271> kNames = {
    "SetupGetInfInformationA",
    "SetupGetInfInformationW",
    "SetupQueryInfFileInformationA",
    "SetupQueryInfFileInformationW",
    "SetupQueryInfVersionInformationA",
    "SetupQueryInfVersionInformationW",
    "SetupGetInfFileListA",
    "SetupGetInfFileListW",
    "SetupOpenInfFileA",
    "SetupOpenInfFileW",
    "SetupOpenMasterInf",
    "SetupOpenAppendInfFileA",
    "SetupOpenAppendInfFileW",
    "SetupCloseInfFile",
    "SetupFindFirstLineA",
    "SetupFindFirstLineW",
    "SetupFindNextLine",
    "SetupFindNextMatchLineA",
    "SetupFindNextMatchLineW",
    "SetupGetLineByIndexA",
    "SetupGetLineByIndexW",
    "SetupGetLineCountA",
    "SetupGetLineCountW",
    "SetupGetLineTextA",
    "SetupGetLineTextW",
    "SetupGetFieldCount",
    "SetupGetStringFieldA",
    "SetupGetStringFieldW",
    "SetupGetIntField",
    "SetupGetMultiSzFieldA",
    "SetupGetMultiSzFieldW",
    "SetupGetBinaryField",
    "SetupGetFileCompressionInfoA",
    "SetupGetFileCompressionInfoW",
    "SetupDecompressOrCopyFileA",
    "SetupDecompressOrCopyFileW",
    "SetupGetSourceFileLocationA",
    "SetupGetSourceFileLocationW",
    "SetupGetSourceFileSizeA",
    "SetupGetSourceFileSizeW",
    "SetupGetTargetPathA",
    "SetupGetTargetPathW",
    "SetupSetSourceListA",
    "SetupSetSourceListW",
    "SetupCancelTemporarySourceList",
    "SetupAddToSourceListA",
    "SetupAddToSourceListW",
    "SetupRemoveFromSourceListA",
    "SetupRemoveFromSourceListW",
    "SetupQuerySourceListA",
    "SetupQuerySourceListW",
    "SetupFreeSourceListA",
    "SetupFreeSourceListW",
    "SetupPromptForDiskA",
    "SetupPromptForDiskW",
    "SetupCopyErrorA",
    "SetupCopyErrorW",
    "SetupRenameErrorA",
    "SetupRenameErrorW",
    "SetupDeleteErrorA",
    "SetupDeleteErrorW",
    "SetupSetDirectoryIdA",
    "SetupSetDirectoryIdW",
    "SetupSetDirectoryIdExA",
    "SetupSetDirectoryIdExW",
    "SetupGetSourceInfoA",
    "SetupGetSourceInfoW",
    "SetupInstallFileA",
    "SetupInstallFileW",
    "SetupInstallFileExA",
    "SetupInstallFileExW",
    "SetupOpenFileQueue",
    "SetupCloseFileQueue",
    "SetupSetPlatformPathOverrideA",
    "SetupSetPlatformPathOverrideW",
    "SetupQueueCopyA",
    "SetupQueueCopyW",
    "SetupQueueDefaultCopyA",
    "SetupQueueDefaultCopyW",
    "SetupQueueCopySectionA",
    "SetupQueueCopySectionW",
    "SetupQueueDeleteA",
    "SetupQueueDeleteW",
    "SetupQueueDeleteSectionA",
    "SetupQueueDeleteSectionW",
    "SetupQueueRenameA",
    "SetupQueueRenameW",
    "SetupQueueRenameSectionA",
    "SetupQueueRenameSectionW",
    "SetupCommitFileQueueA",
    "SetupCommitFileQueueW",
    "SetupScanFileQueueA",
    "SetupScanFileQueueW",
    "SetupCopyOEMInfA",
    "SetupCopyOEMInfW",
    "SetupCreateDiskSpaceListA",
    "SetupCreateDiskSpaceListW",
    "SetupDuplicateDiskSpaceListA",
    "SetupDuplicateDiskSpaceListW",
    "SetupDestroyDiskSpaceList",
    "SetupQueryDrivesInDiskSpaceListA",
    "SetupQueryDrivesInDiskSpaceListW",
    "SetupQuerySpaceRequiredOnDriveA",
    "SetupQuerySpaceRequiredOnDriveW",
    "SetupAdjustDiskSpaceListA",
    "SetupAdjustDiskSpaceListW",
    "SetupAddToDiskSpaceListA",
    "SetupAddToDiskSpaceListW",
    "SetupAddSectionToDiskSpaceListA",
    "SetupAddSectionToDiskSpaceListW",
    "SetupAddInstallSectionToDiskSpaceListA",
    "SetupAddInstallSectionToDiskSpaceListW",
    "SetupRemoveFromDiskSpaceListA",
    "SetupRemoveFromDiskSpaceListW",
    "SetupRemoveSectionFromDiskSpaceListA",
    "SetupRemoveSectionFromDiskSpaceListW",
    "SetupRemoveInstallSectionFromDiskSpaceListA",
    "SetupRemoveInstallSectionFromDiskSpaceListW",
    "SetupIterateCabinetA",
    "SetupIterateCabinetW",
    "SetupPromptReboot",
    "SetupInitDefaultQueueCallback",
    "SetupInitDefaultQueueCallbackEx",
    "SetupTermDefaultQueueCallback",
    "SetupDefaultQueueCallbackA",
    "SetupDefaultQueueCallbackW",
    "SetupInstallFromInfSectionA",
    "SetupInstallFromInfSectionW",
    "SetupInstallFilesFromInfSectionA",
    "SetupInstallFilesFromInfSectionW",
    "SetupInstallServicesFromInfSectionA",
    "SetupInstallServicesFromInfSectionW",
    "SetupInstallServicesFromInfSectionExA",
    "SetupInstallServicesFromInfSectionExW",
    "SetupInitializeFileLogA",
    "SetupInitializeFileLogW",
    "SetupTerminateFileLog",
    "SetupLogFileA",
    "SetupLogFileW",
    "SetupRemoveFileLogEntryA",
    "SetupRemoveFileLogEntryW",
    "SetupQueryFileLogA",
    "SetupQueryFileLogW",
    "SetupOpenLog",
    "SetupLogErrorA",
    "SetupLogErrorW",
    "SetupCloseLog",
    "SetupDiCreateDeviceInfoList",
    "SetupDiCreateDeviceInfoListExA",
    "SetupDiCreateDeviceInfoListExW",
    "SetupDiGetDeviceInfoListClass",
    "SetupDiGetDeviceInfoListDetailA",
    "SetupDiGetDeviceInfoListDetailW",
    "SetupDiCreateDeviceInfoA",
    "SetupDiCreateDeviceInfoW",
    "SetupDiOpenDeviceInfoA",
    "SetupDiOpenDeviceInfoW",
    "SetupDiGetDeviceInstanceIdA",
    "SetupDiGetDeviceInstanceIdW",
    "SetupDiDeleteDeviceInfo",
    "SetupDiEnumDeviceInfo",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiCreateDeviceInterfaceA",
    "SetupDiCreateDeviceInterfaceW",
    "SetupDiOpenDeviceInterfaceA",
    "SetupDiOpenDeviceInterfaceW",
    "SetupDiGetDeviceInterfaceAlias",
    "SetupDiDeleteDeviceInterfaceData",
    "SetupDiRemoveDeviceInterface",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiGetDeviceInterfaceDetailW",
    "SetupDiInstallDeviceInterfaces",
    "SetupDiRegisterDeviceInfo",
    "SetupDiBuildDriverInfoList",
    "SetupDiCancelDriverInfoSearch",
    "SetupDiEnumDriverInfoA",
    "SetupDiEnumDriverInfoW",
    "SetupDiGetSelectedDriverA",
    "SetupDiGetSelectedDriverW",
    "SetupDiSetSelectedDriverA",
    "SetupDiSetSelectedDriverW",
    "SetupDiGetDriverInfoDetailA",
    "SetupDiGetDriverInfoDetailW",
    "SetupDiDestroyDriverInfoList",
    "SetupDiGetClassDevsA",
    "SetupDiGetClassDevsW",
    "SetupDiGetClassDevsExA",
    "SetupDiGetClassDevsExW",
    "SetupDiGetINFClassA",
    "SetupDiGetINFClassW",
    "SetupDiBuildClassInfoList",
    "SetupDiBuildClassInfoListExA",
    "SetupDiBuildClassInfoListExW",
    "SetupDiGetClassDescriptionA",
    "SetupDiGetClassDescriptionW",
    "SetupDiGetClassDescriptionExA",
    "SetupDiGetClassDescriptionExW",
    "SetupDiCallClassInstaller",
    "SetupDiSelectDevice",
    "SetupDiSelectBestCompatDrv",
    "SetupDiInstallDevice",
    "SetupDiInstallDriverFiles",
    "SetupDiRegisterCoDeviceInstallers",
    "SetupDiRemoveDevice",
    "SetupDiUnremoveDevice",
    "SetupDiMoveDuplicateDevice",
    "SetupDiChangeState",
    "SetupDiInstallClassA",
    "SetupDiInstallClassW",
    "SetupDiInstallClassExA",
    "SetupDiInstallClassExW",
    "SetupDiOpenClassRegKey",
    "SetupDiOpenClassRegKeyExA",
    "SetupDiOpenClassRegKeyExW",
    "SetupDiCreateDeviceInterfaceRegKeyA",
    "SetupDiCreateDeviceInterfaceRegKeyW",
    "SetupDiOpenDeviceInterfaceRegKey",
    "SetupDiDeleteDeviceInterfaceRegKey",
    "SetupDiCreateDevRegKeyA",
    "SetupDiCreateDevRegKeyW",
    "SetupDiOpenDevRegKey",
    "SetupDiDeleteDevRegKey",
    "SetupDiGetHwProfileList",
    "SetupDiGetHwProfileListExA",
    "SetupDiGetHwProfileListExW",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiSetDeviceRegistryPropertyW",
    "SetupDiGetDeviceInstallParamsA",
    "SetupDiGetDeviceInstallParamsW",
    "SetupDiGetClassInstallParamsA",
    "SetupDiGetClassInstallParamsW",
    "SetupDiSetDeviceInstallParamsA",
    "SetupDiSetDeviceInstallParamsW",
    "SetupDiSetClassInstallParamsA",
    "SetupDiSetClassInstallParamsW",
    "SetupDiGetDriverInstallParamsA",
    "SetupDiGetDriverInstallParamsW",
    "SetupDiSetDriverInstallParamsA",
    "SetupDiSetDriverInstallParamsW",
    "SetupDiLoadClassIcon",
    "SetupDiDrawMiniIcon",
    "SetupDiGetClassBitmapIndex",
    "SetupDiGetClassImageList",
    "SetupDiGetClassImageListExA",
    "SetupDiGetClassImageListExW",
    "SetupDiGetClassImageIndex",
    "SetupDiDestroyClassImageList",
    "SetupDiGetClassDevPropertySheetsA",
    "SetupDiGetClassDevPropertySheetsW",
    "SetupDiAskForOEMDisk",
    "SetupDiSelectOEMDrv",
    "SetupDiClassNameFromGuidA",
    "SetupDiClassNameFromGuidW",
    "SetupDiClassNameFromGuidExA",
    "SetupDiClassNameFromGuidExW",
    "SetupDiClassGuidsFromNameA",
    "SetupDiClassGuidsFromNameW",
    "SetupDiClassGuidsFromNameExA",
    "SetupDiClassGuidsFromNameExW",
    "SetupDiGetHwProfileFriendlyNameA",
    "SetupDiGetHwProfileFriendlyNameW",
    "SetupDiGetHwProfileFriendlyNameExA",
    "SetupDiGetHwProfileFriendlyNameExW",
    "SetupDiGetWizardPage",
    "SetupDiGetSelectedDevice",
    "SetupDiSetSelectedDevice",
    "SetupDiGetActualSectionToInstallA",
    "SetupDiGetActualSectionToInstallW",
};

constexpr std::size_t slotOf(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (name == kNames[i]) return i;
  }
  throw "not a setupapi.dll name";  // compile-time only
}
constexpr std::size_t kGetClassDevs = slotOf("SetupDiGetClassDevsA");
constexpr std::size_t kEnumDeviceInterfaces = slotOf("SetupDiEnumDeviceInterfaces");
constexpr std::size_t kGetDeviceInterfaceDetail = slotOf("SetupDiGetDeviceInterfaceDetailA");
constexpr std::size_t kDestroyDeviceInfoList = slotOf("SetupDiDestroyDeviceInfoList");

}  // namespace

SetupApi::SetupApi(winapi::Api& api) : api_(api), loader_(api, "SetupApi.dll", kNames) {}

std::span<const char* const> SetupApi::Names() {
  return kNames;
}

bool SetupApi::Bind() {
  ++useCount_;
  if (useCount_ == 1 && !loader_.Load()) {
    Release();
    return false;
  }
  return IsBound();
}

void SetupApi::Release() {
  --useCount_;
  if (useCount_ <= 0) {
    useCount_ = 0;
    loader_.Release();
  }
}

winapi::HDEVINFO SetupApi::GetClassDevs(const winapi::GUID& classGuid, winapi::DWORD flags) {
  const winapi::FARPROC entry = loader_.Slot(kGetClassDevs);
  if (entry == nullptr) return winapi::invalidHandle();
  return api_.SetupDiGetClassDevsA(entry, &classGuid, nullptr, nullptr, flags);
}

bool SetupApi::EnumDeviceInterfaces(winapi::HDEVINFO set, const winapi::GUID& classGuid,
                                    winapi::DWORD index, winapi::SP_DEVICE_INTERFACE_DATA& data) {
  const winapi::FARPROC entry = loader_.Slot(kEnumDeviceInterfaces);
  return entry != nullptr &&
         api_.SetupDiEnumDeviceInterfaces(entry, set, nullptr, &classGuid, index, &data) != 0;
}

bool SetupApi::GetDeviceInterfaceDetail(winapi::HDEVINFO set,
                                        winapi::SP_DEVICE_INTERFACE_DATA& data, void* detail,
                                        winapi::DWORD detailSize, winapi::DWORD* requiredSize,
                                        winapi::SP_DEVINFO_DATA* deviceInfo) {
  const winapi::FARPROC entry = loader_.Slot(kGetDeviceInterfaceDetail);
  return entry != nullptr &&
         api_.SetupDiGetDeviceInterfaceDetailA(entry, set, &data, detail, detailSize, requiredSize,
                                               deviceInfo) != 0;
}

void SetupApi::DestroyDeviceInfoList(winapi::HDEVINFO set) {
  const winapi::FARPROC entry = loader_.Slot(kDestroyDeviceInfoList);
  if (entry != nullptr) (void)api_.SetupDiDestroyDeviceInfoList(entry, set);
}

}  // namespace nuv::hid
