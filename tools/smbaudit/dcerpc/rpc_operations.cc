#include "tools/smbaudit/dcerpc/rpc_operations.h"

#include <cstddef>

namespace smbaudit {
namespace {

// Opnums the documents reserve ("OpnumNNNotUsedOnWire") are null.
constexpr const char* kSrvsvc[] = {
    "NetrCharDevEnum", "NetrCharDevGetInfo", "NetrCharDevControl", "NetrCharDevQEnum", "NetrCharDevQGetInfo",
    "NetrCharDevQSetInfo", "NetrCharDevQPurge", "NetrCharDevQPurgeSelf", "NetrConnectionEnum", "NetrFileEnum",
    "NetrFileGetInfo", "NetrFileClose", "NetrSessionEnum", "NetrSessionDel", "NetrShareAdd", "NetrShareEnum",
    "NetrShareGetInfo", "NetrShareSetInfo", "NetrShareDel", "NetrShareDelSticky", "NetrShareCheck",
    "NetrServerGetInfo", "NetrServerSetInfo", "NetrServerDiskEnum", "NetrServerStatisticsGet",
    "NetrServerTransportAdd", "NetrServerTransportEnum", "NetrServerTransportDel", "NetrRemoteTOD", nullptr,
    "NetprPathType", "NetprPathCanonicalize", "NetprPathCompare", "NetprNameValidate", "NetprNameCanonicalize",
    "NetprNameCompare", "NetrShareEnumSticky", "NetrShareDelStart", "NetrShareDelCommit", "NetrpGetFileSecurity",
    "NetrpSetFileSecurity", "NetrServerTransportAddEx", nullptr, "NetrDfsGetVersion", "NetrDfsCreateLocalPartition",
    "NetrDfsDeleteLocalPartition", "NetrDfsSetLocalVolumeState", nullptr, "NetrDfsCreateExitPoint",
    "NetrDfsDeleteExitPoint", "NetrDfsModifyPrefix", "NetrDfsFixLocalVolume", "NetrDfsManagerReportSiteInfo",
    "NetrServerTransportDelEx", "NetrServerAliasAdd", "NetrServerAliasEnum", "NetrServerAliasDel", "NetrShareDelEx"};

constexpr const char* kWkssvc[] = {
    "NetrWkstaGetInfo", "NetrWkstaSetInfo", "NetrWkstaUserEnum", nullptr, nullptr, "NetrWkstaTransportEnum",
    "NetrWkstaTransportAdd", "NetrWkstaTransportDel", "NetrUseAdd", "NetrUseGetInfo", "NetrUseDel", "NetrUseEnum",
    nullptr, "NetrWorkstationStatisticsGet", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    "NetrGetJoinInformation", nullptr, "NetrJoinDomain2", "NetrUnjoinDomain2", "NetrRenameMachineInDomain2",
    "NetrValidateName2", "NetrGetJoinableOUs2", "NetrAddAlternateComputerName", "NetrRemoveAlternateComputerName",
    "NetrSetPrimaryComputerName", "NetrEnumerateComputerNames"};

constexpr const char* kSamr[] = {
    "SamrConnect", "SamrCloseHandle", "SamrSetSecurityObject", "SamrQuerySecurityObject", nullptr,
    "SamrLookupDomainInSamServer", "SamrEnumerateDomainsInSamServer", "SamrOpenDomain", "SamrQueryInformationDomain",
    "SamrSetInformationDomain", "SamrCreateGroupInDomain", "SamrEnumerateGroupsInDomain", "SamrCreateUserInDomain",
    "SamrEnumerateUsersInDomain", "SamrCreateAliasInDomain", "SamrEnumerateAliasesInDomain",
    "SamrGetAliasMembership", "SamrLookupNamesInDomain", "SamrLookupIdsInDomain", "SamrOpenGroup",
    "SamrQueryInformationGroup", "SamrSetInformationGroup", "SamrAddMemberToGroup", "SamrDeleteGroup",
    "SamrRemoveMemberFromGroup", "SamrGetMembersInGroup", "SamrSetMemberAttributesOfGroup", "SamrOpenAlias",
    "SamrQueryInformationAlias", "SamrSetInformationAlias", "SamrDeleteAlias", "SamrAddMemberToAlias",
    "SamrRemoveMemberFromAlias", "SamrGetMembersInAlias", "SamrOpenUser", "SamrDeleteUser",
    "SamrQueryInformationUser", "SamrSetInformationUser", "SamrChangePasswordUser", "SamrGetGroupsForUser",
    "SamrQueryDisplayInformation", "SamrGetDisplayEnumerationIndex", nullptr, nullptr,
    "SamrGetUserDomainPasswordInformation", "SamrRemoveMemberFromForeignDomain", "SamrQueryInformationDomain2",
    "SamrQueryInformationUser2", "SamrQueryDisplayInformation2", "SamrGetDisplayEnumerationIndex2",
    "SamrCreateUser2InDomain", "SamrQueryDisplayInformation3", "SamrAddMultipleMembersToAlias",
    "SamrRemoveMultipleMembersFromAlias", "SamrOemChangePasswordUser2", "SamrUnicodeChangePasswordUser2",
    "SamrGetDomainPasswordInformation", "SamrConnect2", "SamrSetInformationUser2", nullptr, nullptr, nullptr,
    "SamrConnect4", nullptr, "SamrConnect5", "SamrRidToSid", "SamrSetDSRMPassword", "SamrValidatePassword"};

constexpr const char* kLsarpc[] = {
    "LsarClose", nullptr, "LsarEnumeratePrivileges", "LsarQuerySecurityObject", "LsarSetSecurityObject", nullptr,
    "LsarOpenPolicy", "LsarQueryInformationPolicy", "LsarSetInformationPolicy", nullptr, "LsarCreateAccount",
    "LsarEnumerateAccounts", "LsarCreateTrustedDomain", "LsarEnumerateTrustedDomains", "LsarLookupNames",
    "LsarLookupSids", "LsarCreateSecret", "LsarOpenAccount", "LsarEnumeratePrivilegesAccount",
    "LsarAddPrivilegesToAccount", "LsarRemovePrivilegesFromAccount", nullptr, nullptr, "LsarGetSystemAccessAccount",
    "LsarSetSystemAccessAccount", "LsarOpenTrustedDomain", "LsarQueryInfoTrustedDomain",
    "LsarSetInformationTrustedDomain", "LsarOpenSecret", "LsarSetSecret", "LsarQuerySecret",
    "LsarLookupPrivilegeValue", "LsarLookupPrivilegeName", "LsarLookupPrivilegeDisplayName", "LsarDeleteObject",
    "LsarEnumerateAccountsWithUserRight", "LsarEnumerateAccountRights", "LsarAddAccountRights",
    "LsarRemoveAccountRights", "LsarQueryTrustedDomainInfo", "LsarSetTrustedDomainInfo", "LsarDeleteTrustedDomain",
    "LsarStorePrivateData", "LsarRetrievePrivateData", "LsarOpenPolicy2", "LsarGetUserName",
    "LsarQueryInformationPolicy2", "LsarSetInformationPolicy2", "LsarQueryTrustedDomainInfoByName",
    "LsarSetTrustedDomainInfoByName", "LsarEnumerateTrustedDomainsEx", "LsarCreateTrustedDomainEx", nullptr,
    "LsarQueryDomainInformationPolicy", "LsarSetDomainInformationPolicy", "LsarOpenTrustedDomainByName", nullptr,
    "LsarLookupSids2", "LsarLookupNames2", "LsarCreateTrustedDomainEx2", nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, "LsarLookupNames3", nullptr, nullptr, nullptr, nullptr,
    "LsarQueryForestTrustInformation", "LsarSetForestTrustInformation", nullptr, "LsarLookupSids3",
    "LsarLookupNames4"};

constexpr const char* kNetlogon[] = {
    "NetrLogonUasLogon", "NetrLogonUasLogoff", "NetrLogonSamLogon", "NetrLogonSamLogoff", "NetrServerReqChallenge",
    "NetrServerAuthenticate", "NetrServerPasswordSet", "NetrDatabaseDeltas", "NetrDatabaseSync",
    "NetrAccountDeltas", "NetrAccountSync", "NetrGetDCName", "NetrLogonControl", "NetrGetAnyDCName",
    "NetrLogonControl2", "NetrServerAuthenticate2", "NetrDatabaseSync2", "NetrDatabaseRedo", "NetrLogonControl2Ex",
    "NetrEnumerateTrustedDomains", "DsrGetDcName", "NetrLogonGetCapabilities", "NetrLogonSetServiceBits",
    "NetrLogonGetTrustRid", "NetrLogonComputeServerDigest", "NetrLogonComputeClientDigest",
    "NetrServerAuthenticate3", "DsrGetDcNameEx", "DsrGetSiteName", "NetrLogonGetDomainInfo",
    "NetrServerPasswordSet2", "NetrServerPasswordGet", "NetrLogonSendToSam", "DsrAddressToSiteNamesW",
    "DsrGetDcNameEx2", "NetrLogonGetTimeServiceParentDomain", "NetrEnumerateTrustedDomainsEx",
    "DsrAddressToSiteNamesExW", "DsrGetDcSiteCoverageW", "NetrLogonSamLogonEx", "DsrEnumerateDomainTrusts",
    "DsrDeregisterDnsHostRecords", "NetrServerTrustPasswordsGet", "DsrGetForestTrustInformation",
    "NetrGetForestTrustInformation", "NetrLogonSamLogonWithFlags", "NetrServerGetTrustInfo", nullptr,
    "DsrUpdateReadOnlyServerDnsRecords", "NetrChainSetClientAttributes"};

constexpr const char* kSvcctl[] = {
    "RCloseServiceHandle", "RControlService", "RDeleteService", "RLockServiceDatabase",
    "RQueryServiceObjectSecurity", "RSetServiceObjectSecurity", "RQueryServiceStatus", "RSetServiceStatus",
    "RUnlockServiceDatabase", "RNotifyBootConfigStatus", nullptr, "RChangeServiceConfigW", "RCreateServiceW",
    "REnumDependentServicesW", "REnumServicesStatusW", "ROpenSCManagerW", "ROpenServiceW", "RQueryServiceConfigW",
    "RQueryServiceLockStatusW", "RStartServiceW", "RGetServiceDisplayNameW", "RGetServiceKeyNameW", nullptr,
    "RChangeServiceConfigA", "RCreateServiceA", "REnumDependentServicesA", "REnumServicesStatusA",
    "ROpenSCManagerA", "ROpenServiceA", "RQueryServiceConfigA", "RQueryServiceLockStatusA", "RStartServiceA",
    "RGetServiceDisplayNameA", "RGetServiceKeyNameA", nullptr, "REnumServiceGroupW", "RChangeServiceConfig2A",
    "RChangeServiceConfig2W", "RQueryServiceConfig2A", "RQueryServiceConfig2W", "RQueryServiceStatusEx",
    "REnumServicesStatusExA", "REnumServicesStatusExW", nullptr, "RCreateServiceWOW64A", "RCreateServiceWOW64W",
    nullptr, "RNotifyServiceStatusChange", "RGetNotifyResults", "RCloseNotifyHandle", "RControlServiceExA",
    "RControlServiceExW"};

constexpr const char* kAtsvc[] = {"NetrJobAdd", "NetrJobDel", "NetrJobEnum", "NetrJobGetInfo"};

constexpr const char* kSasec[] = {"SASetAccountInformation", "SASetNSAccountInformation",
                                  "SAGetNSAccountInformation", "SAGetAccountInformation"};

constexpr const char* kTaskschd[] = {
    "SchRpcHighestVersion", "SchRpcRegisterTask", "SchRpcRetrieveTask", "SchRpcCreateFolder", "SchRpcSetSecurity",
    "SchRpcGetSecurity", "SchRpcEnumFolders", "SchRpcEnumTasks", "SchRpcEnumInstances", "SchRpcGetInstanceInfo",
    "SchRpcStopInstance", "SchRpcStop", "SchRpcRun", "SchRpcDelete", "SchRpcRename", "SchRpcScheduledRuntimes",
    "SchRpcGetLastRunInfo", "SchRpcGetTaskInfo", "SchRpcGetNumberOfMissedRuns", "SchRpcEnableTask"};

constexpr const char* kWinreg[] = {
    "OpenClassesRoot", "OpenCurrentUser", "OpenLocalMachine", "OpenPerformanceData", "OpenUsers",
    "BaseRegCloseKey", "BaseRegCreateKey", "BaseRegDeleteKey", "BaseRegDeleteValue", "BaseRegEnumKey",
    "BaseRegEnumValue", "BaseRegFlushKey", "BaseRegGetKeySecurity", "BaseRegLoadKey", nullptr, "BaseRegOpenKey",
    "BaseRegQueryInfoKey", "BaseRegQueryValue", "BaseRegReplaceKey", "BaseRegRestoreKey", "BaseRegSaveKey",
    "BaseRegSetKeySecurity", "BaseRegSetValue", "BaseRegUnLoadKey", "BaseInitiateSystemShutdown",
    "BaseAbortSystemShutdown", "BaseRegGetVersion", "OpenCurrentConfig", nullptr, "BaseRegQueryMultipleValues",
    "BaseInitiateSystemShutdownEx", "BaseRegSaveKeyEx", "OpenPerformanceText", "OpenPerformanceNlsText",
    "BaseRegQueryMultipleValues2", "BaseRegDeleteKeyEx"};

constexpr const char* kSpoolss[] = {
    "RpcEnumPrinters", "RpcOpenPrinter", "RpcSetJob", "RpcGetJob", "RpcEnumJobs", "RpcAddPrinter",
    "RpcDeletePrinter", "RpcSetPrinter", "RpcGetPrinter", "RpcAddPrinterDriver", "RpcEnumPrinterDrivers",
    "RpcGetPrinterDriver", "RpcGetPrinterDriverDirectory", "RpcDeletePrinterDriver", "RpcAddPrintProcessor",
    "RpcEnumPrintProcessors", "RpcGetPrintProcessorDirectory", "RpcStartDocPrinter", "RpcStartPagePrinter",
    "RpcWritePrinter", "RpcEndPagePrinter", "RpcAbortPrinter", "RpcReadPrinter", "RpcEndDocPrinter", "RpcAddJob",
    "RpcScheduleJob", "RpcGetPrinterData", "RpcSetPrinterData", "RpcWaitForPrinterChange", "RpcClosePrinter",
    "RpcAddForm", "RpcDeleteForm", "RpcGetForm", "RpcSetForm", "RpcEnumForms", "RpcEnumPorts", "RpcEnumMonitors",
    nullptr, nullptr, "RpcDeletePort", "RpcCreatePrinterIC", "RpcPlayGdiScriptOnPrinterIC", "RpcDeletePrinterIC",
    nullptr, nullptr, nullptr, "RpcAddMonitor", "RpcDeleteMonitor", "RpcDeletePrintProcessor", nullptr, nullptr,
    "RpcEnumPrintProcDatatypes", "RpcResetPrinter", "RpcGetPrinterDriver2", nullptr, nullptr,
    "RpcFindClosePrinterChangeNotification", nullptr, "RpcReplyOpenPrinter", "RpcRouterReplyPrinter",
    "RpcReplyClosePrinter", "RpcAddPortEx", "RpcRemoteFindFirstPrinterChangeNotification", nullptr, nullptr,
    "RpcRemoteFindFirstPrinterChangeNotificationEx", "RpcRouterReplyPrinterEx",
    "RpcRouterRefreshPrinterChangeNotification", nullptr, "RpcOpenPrinterEx", "RpcAddPrinterEx", "RpcSetPort",
    "RpcEnumPrinterData", "RpcDeletePrinterData", nullptr, nullptr, nullptr, "RpcSetPrinterDataEx",
    "RpcGetPrinterDataEx", "RpcEnumPrinterDataEx", "RpcEnumPrinterKey", "RpcDeletePrinterDataEx",
    "RpcDeletePrinterKey", nullptr, "RpcDeletePrinterDriverEx", "RpcAddPerMachineConnection",
    "RpcDeletePerMachineConnection", "RpcEnumPerMachineConnections", "RpcXcvData", "RpcAddPrinterDriverEx"};

// MS-DRSR names its methods IDL_DRSxxx; the records use the method names without the prefix.
constexpr const char* kDrsuapi[] = {
    "DRSBind", "DRSUnbind", "DRSReplicaSync", "DRSGetNCChanges", "DRSUpdateRefs", "DRSReplicaAdd",
    "DRSReplicaDel", "DRSReplicaModify", "DRSVerifyNames", "DRSGetMemberships", "DRSInterDomainMove",
    "DRSGetNT4ChangeLog", "DRSCrackNames", "DRSWriteSPN", "DRSRemoveDsServer", "DRSRemoveDsDomain",
    "DRSDomainControllerInfo", "DRSAddEntry", "DRSExecuteKCC", "DRSGetReplInfo", "DRSAddSidHistory",
    "DRSGetMemberships2", "DRSReplicaVerifyObjects", "DRSGetObjectExistence", "DRSQuerySitesByCost",
    "DRSInitDemotion", "DRSReplicaDemotion", "DRSFinishDemotion", "DRSAddCloneDC", "DRSWriteNgcKey",
    "DRSReadNgcKey"};

constexpr const char* kEpmapper[] = {"ept_insert", "ept_delete", "ept_lookup", "ept_map",
                                     "ept_lookup_handle_free", "ept_inq_object", "ept_mgmt_delete"};

constexpr const char* kMgmt[] = {"inq_if_ids", "inq_stats", "is_server_listening", "stop_server_listening",
                                 "inq_princ_name"};

struct Table {
    std::string_view interfaceName;
    const char* const* names;
    size_t count;
};

template <size_t N>
constexpr Table Named(std::string_view name, const char* const (&names)[N]) {
    return {name, names, N};
}

constexpr Table kTables[] = {
    Named("srvsvc", kSrvsvc),     Named("wkssvc", kWkssvc),   Named("samr", kSamr),
    Named("lsarpc", kLsarpc),     Named("netlogon", kNetlogon), Named("svcctl", kSvcctl),
    Named("atsvc", kAtsvc),       Named("sasec", kSasec),     Named("taskschd", kTaskschd),
    Named("winreg", kWinreg),     Named("spoolss", kSpoolss), Named("drsuapi", kDrsuapi),
    Named("epmapper", kEpmapper), Named("mgmt", kMgmt),
};

}  // namespace

const char* OperationName(std::string_view interfaceName, uint16_t opnum) {
    for (const Table& t : kTables) {
        if (t.interfaceName == interfaceName) return opnum < t.count ? t.names[opnum] : nullptr;
    }
    return nullptr;
}

}  // namespace smbaudit
