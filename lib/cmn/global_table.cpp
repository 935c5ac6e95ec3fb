// Global options: the option table in its fixed dispatch order, the process
// globals it sets, and GlobalDispatch with its special rules.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/dbg.h"
#include "cmn/global.h"
#include "cmn/global_private.h"
#include "cmn/paths.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/global_table.cpp");

using global_detail::OptReply;

// Every global starts at zero and receives its default from the table before
// main (see the end of this file), so code that runs before the cell's
// options arrive already sees the defaults.
int glCellInetPort;

int glLogCrsEvents, glEventLogMessages, glSmLogStartStop, glEventLogAudit, glAuditLogEnable,
    glAuditLogRetention;
int glMaxSessions, glMaxBSessions, glMaxMaPerSm, glMaxDaPerMa, glMaxNumberOfMirrors;
int glCrsPort, glCheckVersions, glMaxWaitForSm, glSchedulerGranularity, glDbPurgeCheck,
    glDbQuickSetScan, glMaxCrsConnections;
char glDailyMaintenanceTime[kOptTimeSize], glDailyCheckTime[kOptTimeSize];
char glSMTPServer[kOptTextSize], glSMTPSenderAddress[kOptTextSize];
int glMmdLockTimeout, glInitOnLoosePolicy, glReformatFreePoolMedia, glMmFairLimit,
    glFileMediumCapacity, glMountDelay, glFreePoolDeallocFreq, glEnableSCSIReserveRelease,
    glEnableVolSafeSupport, glEnableMCFCompression;
char glNonResidentLocation[kOptTextSize], glClnTapeBCPrefix[kOptTimeSize];
char glDevDetectTree[kOptPathSize], glMountScript[kOptPathSize];
int glOnlyValidObj, glStrictPrivacyCheck, glHidePrivateObj, glIncrOnProtected, glUpgradeIncrToFull,
    glEnhIncrMaximumTimeSpan, glForceFull, glBackupCatalogProtectionEqualToObject,
    glExternalScriptMode, glStrictSecurityFlags, glStrictSecurityContingencyACL,
    glCopyDataProtectionEndtimeEqualToBackup, glSaveScheduleAllowed, glRecalculateMediumProtection;
int glSmFirstConn, glSmPeerId, glSmMaxAgentStartupRetries, glMinDelayForConnectionRetry,
    glSmWaitForNewClient, glSmWaitForNewBackupClient, glSmWaitForNewRestoreClient,
    glSmWaitForFirstClient, glSmWaitForFirstBackupClient, glSmWaitForFirstRestoreClient,
    glSmWaitForNextRestoreClient, glSmWaitForDevice, glSmWaitForDB, glSmIdleTimeout,
    glSmMaIdleTimeout, glSmSendReceiveTimeout, glSmSendReceiveMonitorTimeout, glSmMaxAgentMessages,
    glSmMaxMessagesPerSession, glSmAlwaysLockMinDevices, glAbortIfMINgtDevices,
    glSmDeviceErrorThreshold, glExecScriptOnPreview, glBackupPreexecBeforeDevLock,
    glPrePostExecOnEveryVolumeForHostBackup, glPostExecOnAbortHostBackup, glScriptOutputTimeout,
    glSmDisableScript, glUseFenScripts, glTreatScriptReturnAsNormal,
    glSessSuccessfulWhenNoObjectsBackedUp, glSessSuccessfulWhenNoObjectsToCopyOrConsolidate,
    glSessionStatusWhenNoObjectToCopy, glSessionStatusWhenNoObjectToConsolidate,
    glSessionStatusWhenNoObjectToVerify, glPreventDuplicateCopySession, glBackupDeviceIdle,
    glUseMaxConc, glALIGNEDDEFAULT, glVekTapeStatistics, glVekHeaderCheck,
    glHostBackupExcludesApplyToSingleVolume, glHostBackupIncludesApplyToSingleVolume,
    glDisableTestLockonEjectEnter, glEnableTestingSessionMessages,
    glEnhIncrPromoteToFullIfNoEnhFull, glCopyAutomatedMaxObjects,
    glAbortOnObjectsMoreThanCopyAutomatedMaxObjects, glConsolidationAutomatedMaxObjects,
    glCopyLockDevicesDelay, glCopyStartPostBackupOnAbortedSession, glCopyDisableBlockRepackaging,
    glConsolidationStartPostBackupOnAbortedSession, glAutomaticDeviceSelectionOrder,
    glEnableRestoreReportStats, glEnableDeviceFilters,
    glAutoConsolidationFilterOutAllButLatestPointInTime, glResumableRestoreDefault;
char glDefScriptUser[kOptNameSize];
int glDbLoginRetries, glDbMaxFilesFound, glDbFreeDiskSpace, glDbFreeExtFileSpace, glDbIdleTimeout,
    glDbLockTries, glDbLockTimeout, glDbGraceLockDuration, glCellResourceTimeout, glDbMaxFilesInDir,
    glDbForceImportIfPositionsExist, glPurgeBufferSize, glReadRate, glDeleteRate,
    glFilenamePurgeLimitPerHost, glFilenamePurgeLimitTotal, glConvertFilenamesInIDBDuringBackup,
    glDbIgnoreCorruptedMaCatalog;
char glRecoveryIndexDir[kOptPathSize], glSessionMessagesDir[kOptPathSize];
int glDbCtmpDatLimit, glDbCtmpExtLimit, glDbDirsDatLimit, glDbFn1ExtLimit, glDbFn2ExtLimit,
    glDbFn3ExtLimit, glDbFn4ExtLimit, glDbFnamesDatLimit, glDbMbfconfDatLimit, glDbObjExtLimit,
    glDbObjectsDatLimit, glDbOvExtLimit, glDbOversDatLimit, glDbPosDatLimit, glDbSesExtLimit,
    glDbSessionsDatLimit, glDbCartDatLimit, glDbCompDatLimit, glDbDevicesDatLimit,
    glDbDevicesExtLimit, glDbMediaDatLimit, glDbMtoptDatLimit, glDbMtoptExtLimit, glDbPoolsDatLimit,
    glDbStoresDatLimit, glDbStoresExtLimit, glDbKeyLimit;
int glDcLeaveListCatalogFile, glDcEnablePerformanceLog, glBrowseHistoryStart, glBrowseMPosCache,
    glDCDirAllocation, glRepositionWithinRestoredObject, glMaxDCDirs, glDcFbCdCacheTreshold,
    glDcFbCdCacheMaxHoleSize, glKeepObsoleteSessions, glKeepMessages, glKeepDiskonlySessions,
    glPurgeDcbfOfMediumWithCopies, glQuickMediaFormat, glFormatOversPerTransaction;
int glTarnsvStatusSleep, glTarnsvStatusRetry, glTarnsvStatusSleepInMonitor, glTarnsvSelectTimeout,
    glEnableSANDynamicAddressing, glUpdateSapRmanChannels, glSUPPRESSECHO, glShowAllMsgs,
    glShowOrpDspMsg, glHideMethodsPerClient, glRptShowPhysicalDeviceInDeviceFlowReport,
    glRptDlClientsOnlyInFSNotConfigReport, glUsedMedAllSess, glNoGUIRMANScriptParsing,
    glUserSpecifiedMediaPriorityHasHigherImportance, glStrlenValidationForUnixCM;
int glBindTimeout;
char glEADRImagePath[kOptPathSize];
char glMonBackupObj[kOptTextSize], glMonRestoreObj[kOptTextSize], glMonDeviceObj[kOptTextSize],
    glMediaView[kOptTextSize], glMagazineView[kOptTextSize], glSCSIView[kOptTextSize],
    glJukeboxView[kOptTextSize], glFileLibraryView[kOptTextSize], glExternView[kOptTextSize],
    glACSView[kOptTextSize], glDASView[kOptTextSize];
int glMaxDisplayedObjects;
int glZombieSessionTimeout;

namespace {

constexpr int kTraceLevel = 20;
constexpr int kGranularityDefault = 15;

enum class Kind { kSection, kInt, kRange, kHidden, kMinutes, kText, kQuoted };

// Defaults of text options that depend on the process's identity.
enum class TextDefault { kFixed, kCellServer, kSenderAddress, kRecoveryImages };

enum class Rule { kNone, kInetPort, kSchedulerGranularity, kFileMediumCapacity };

struct OptRow {
  Kind kind;
  const char* name;  // the section title for kSection
  int* global;
  int defaultValue;
  int min;
  int max;
  char* text;
  std::size_t size;
  const char* textDefault;
  TextDefault textFrom;
  const char* altName;     // read when `name` is absent
  const int* defaultFrom;  // the default is this global's value at dispatch
  Rule rule;

  constexpr OptRow orName(const char* other) const {
    OptRow row = *this;
    row.altName = other;
    return row;
  }
  constexpr OptRow defaultOf(const int* other) const {
    OptRow row = *this;
    row.defaultFrom = other;
    return row;
  }
  constexpr OptRow then(Rule r) const {
    OptRow row = *this;
    row.rule = r;
    return row;
  }
  constexpr OptRow from(TextDefault source) const {
    OptRow row = *this;
    row.textFrom = source;
    return row;
  }
};

constexpr OptRow Section(const char* title) {
  return {Kind::kSection,      title,   nullptr, 0,          0, 0, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Int(const char* name, int* global, int def) {
  return {Kind::kInt,          name,    global,  def,        INT_MIN, INT_MAX, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Range(const char* name, int* global, int def, int min, int max) {
  return {Kind::kRange,        name,    global,  def,        min, max, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Flag(const char* name, int* global, int def) {
  return Range(name, global, def, 0, 1);
}
constexpr OptRow Hidden(const char* name, int* global, int max) {
  return {Kind::kHidden,       name,    global,  -1,         0, max, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
constexpr OptRow Minutes(const char* name, int* global, int defSeconds) {
  return {Kind::kMinutes,      name,    global,  defSeconds, 0, 0, nullptr, 0, nullptr,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
template <std::size_t N>
constexpr OptRow Text(const char* name, char (&global)[N], const char* def) {
  return {Kind::kText,         name,    nullptr, 0,          0, 0, global, N, def,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}
template <std::size_t N>
constexpr OptRow Quoted(const char* name, char (&global)[N], const char* def) {
  return {Kind::kQuoted,       name,    nullptr, 0,          0, 0, global, N, def,
          TextDefault::kFixed, nullptr, nullptr, Rule::kNone};
}

// The dispatch order is fixed: the cell server sends names, and tools read
// the trace in this order.
constexpr OptRow kOptions[] = {
    Section("Logging"),
    Flag("LogCrsEvents", &glLogCrsEvents, 0),
    Flag("EventLogMessages", &glEventLogMessages, 0),
    Flag("SmLogStartStop", &glSmLogStartStop, 0),
    Flag("EventLogAudit", &glEventLogAudit, 0),
    Flag("AuditLogEnable", &glAuditLogEnable, 0),
    Int("AuditLogRetention", &glAuditLogRetention, 60),

    Section("Limits"),
    Range("MaxSessions", &glMaxSessions, 200, 25, 200),
    Range("MaxBSessions", &glMaxBSessions, 5, 1, 200),
    Range("MaxMaPerSm", &glMaxMaPerSm, 32, 1, 32),
    Range("MaxDaPerMa", &glMaxDaPerMa, 32, 1, 32),
    Range("MaxNumberOfMirrors", &glMaxNumberOfMirrors, 5, 0, 20),

    Section("Cell Server").then(Rule::kInetPort),
    Int("CrsPort", &glCrsPort, -1),
    Flag("CheckVersions", &glCheckVersions, 1),
    Range("MaxWaitForSm", &glMaxWaitForSm, 120, 10, 3600),
    Int("SchedulerGranularity", &glSchedulerGranularity, kGranularityDefault)
        .then(Rule::kSchedulerGranularity),
    Text("DailyMaintenanceTime", glDailyMaintenanceTime, "12:00"),
    Text("DailyCheckTime", glDailyCheckTime, "12:30"),
    Flag("DbPurgeCheck", &glDbPurgeCheck, 1),
    Flag("DbQuickSetScan", &glDbQuickSetScan, 0),
    Range("MaxCrsConnections", &glMaxCrsConnections, 200, 10, 1000),
    Text("SMTPServer", glSMTPServer, "").from(TextDefault::kCellServer),
    Text("SMTPSenderAddress", glSMTPSenderAddress, "").from(TextDefault::kSenderAddress),

    Section("Media Management"),
    Minutes("MmdLockTimeout", &glMmdLockTimeout, 3600),
    Flag("InitOnLoosePolicy", &glInitOnLoosePolicy, 0),
    Flag("ReformatFreePoolMedia", &glReformatFreePoolMedia, 0),
    Range("MmFairLimit", &glMmFairLimit, 80, 0, 100),
    Int("FileMediumCapacity", &glFileMediumCapacity, 100).then(Rule::kFileMediumCapacity),
    Text("NonResidentLocation", glNonResidentLocation, ""),
    Text("ClnTapeBCPrefix", glClnTapeBCPrefix, "CLN"),
    Text("DevDetectTree", glDevDetectTree, "/dev"),
    Minutes("MountDelay", &glMountDelay, 1800),
    Text("MountScript", glMountScript, ""),
    Int("FreePoolDeallocFreq", &glFreePoolDeallocFreq, 1),
    Flag("EnableSCSIReserveRelease", &glEnableSCSIReserveRelease, 1),
    Flag("EnableVolSafeSupport", &glEnableVolSafeSupport, 0),
    Flag("EnableMCFCompression", &glEnableMCFCompression, 0),

    Section("Data prot & security"),
    Flag("OnlyValidObj", &glOnlyValidObj, 0),
    Flag("StrictPrivacyCheck", &glStrictPrivacyCheck, 0),
    Flag("HidePrivateObj", &glHidePrivateObj, 0),
    Flag("IncrOnProtected", &glIncrOnProtected, 0),
    Flag("UpgradeIncrToFull", &glUpgradeIncrToFull, 0),
    Int("EnhIncrMaximumTimeSpan", &glEnhIncrMaximumTimeSpan, 0),
    Int("ForceFull", &glForceFull, 0),
    Flag("BackupCatalogProtectionEqualToObject", &glBackupCatalogProtectionEqualToObject, 0),
    Range("ExternalScriptMode", &glExternalScriptMode, 0, 0, 2),
    Int("StrictSecurityFlags", &glStrictSecurityFlags, 8),
    Flag("StrictSecurityContingencyACL", &glStrictSecurityContingencyACL, 0),
    Flag("CopyDataProtectionEndtimeEqualToBackup", &glCopyDataProtectionEndtimeEqualToBackup, 0),
    Flag("SaveScheduleAllowed", &glSaveScheduleAllowed, 1),
    Flag("RecalculateMediumProtection", &glRecalculateMediumProtection, 0),

    Section("Session Managers"),
    Int("SmFirstConn", &glSmFirstConn, 60),
    Minutes("SmPeerId", &glSmPeerId, 300),
    Range("SmMaxAgentStartupRetries", &glSmMaxAgentStartupRetries, 2, 0, 50),
    Int("MinDelayForConnectionRetry", &glMinDelayForConnectionRetry, 5),
    Int("SmWaitForNewClientSec", &glSmWaitForNewClient, 30),
    Minutes("SmWaitForNewClient", &glSmWaitForNewClient, 0).defaultOf(&glSmWaitForNewClient),
    Int("SmWaitForNewBackupClientSec", &glSmWaitForNewBackupClient, 30),
    Minutes("SmWaitForNewBackupClient", &glSmWaitForNewBackupClient, 0)
        .defaultOf(&glSmWaitForNewBackupClient),
    Int("SmWaitForNewRestoreClientSec", &glSmWaitForNewRestoreClient, 30),
    Minutes("SmWaitForNewRestoreClient", &glSmWaitForNewRestoreClient, 0)
        .defaultOf(&glSmWaitForNewRestoreClient),
    Int("SmWaitForFirstClientSec", &glSmWaitForFirstClient, 600),
    Minutes("SmWaitForFirstClient", &glSmWaitForFirstClient, 0).defaultOf(&glSmWaitForFirstClient),
    Int("SmWaitForFirstBackupClientSec", &glSmWaitForFirstBackupClient, 600),
    Minutes("SmWaitForFirstBackupClient", &glSmWaitForFirstBackupClient, 0)
        .defaultOf(&glSmWaitForFirstBackupClient),
    Int("SmWaitForFirstRestoreClientSec", &glSmWaitForFirstRestoreClient, 600),
    Minutes("SmWaitForFirstRestoreClient", &glSmWaitForFirstRestoreClient, 0)
        .defaultOf(&glSmWaitForFirstRestoreClient),
    Int("SmWaitForNextRestoreClientSec", &glSmWaitForNextRestoreClient, 600),
    Minutes("SmWaitForNextRestoreClient", &glSmWaitForNextRestoreClient, 0)
        .defaultOf(&glSmWaitForNextRestoreClient),
    Minutes("SmWaitForDevice", &glSmWaitForDevice, 3600),
    Minutes("SmWaitForDB", &glSmWaitForDB, 3600),
    Minutes("SmIdleTimeout", &glSmIdleTimeout, 7200),
    Minutes("SmConnIdleTimeout", &glSmIdleTimeout, 0).defaultOf(&glSmIdleTimeout),
    Minutes("SmDaIdleTimeout", &glSmIdleTimeout, 0).defaultOf(&glSmIdleTimeout),
    Minutes("SmMaIdleTimeout", &glSmMaIdleTimeout, 8400),
    Range("SmSendReceiveTimeout", &glSmSendReceiveTimeout, 1800, 0, INT_MAX),
    Range("SmSendReceiveMonitorTimeout", &glSmSendReceiveMonitorTimeout, 60, 0, INT_MAX),
    Int("SmMaxAgentMessages", &glSmMaxAgentMessages, 3000),
    Int("SmMaxMessagesPerSession", &glSmMaxMessagesPerSession, 30000),
    Flag("SmAlwaysLockMinDevices", &glSmAlwaysLockMinDevices, 0),
    Flag("AbortIfMINgtDevices", &glAbortIfMINgtDevices, 0),
    Int("SmDeviceErrorThreshold", &glSmDeviceErrorThreshold, 0),
    Flag("ExecScriptOnPreview", &glExecScriptOnPreview, 0),
    Flag("BackupPreexecBeforeDevLock", &glBackupPreexecBeforeDevLock, 0),
    Flag("PrePostExecOnEveryVolumeForHostBackup", &glPrePostExecOnEveryVolumeForHostBackup, 0),
    Flag("PostExecOnAbortHostBackup", &glPostExecOnAbortHostBackup, 0),
    Minutes("ScriptOutputTimeout", &glScriptOutputTimeout, 900),
    Flag("SmDisableScript", &glSmDisableScript, 0),
    Flag("UseFenScripts", &glUseFenScripts, 0),
    Text("ScriptUser", glDefScriptUser, "tarnvale"),
    Flag("TreatScriptReturnAsNormal", &glTreatScriptReturnAsNormal, 0),
    // The misspelt name came first and still wins when a cell sends it.
    Flag("SessSucessfulWhenNoObjectsBackedUp", &glSessSuccessfulWhenNoObjectsBackedUp, 0)
        .orName("SessSuccessfulWhenNoObjectsBackedUp"),
    Flag("SessSuccessfulWhenNoObjectsToCopyOrConsolidate",
         &glSessSuccessfulWhenNoObjectsToCopyOrConsolidate, 0),
    Int("SessionStatusWhenNoObjectToCopy", &glSessionStatusWhenNoObjectToCopy, 0)
        .defaultOf(&glSessSuccessfulWhenNoObjectsToCopyOrConsolidate),
    Int("SessionStatusWhenNoObjectToConsolidate", &glSessionStatusWhenNoObjectToConsolidate, 0)
        .defaultOf(&glSessSuccessfulWhenNoObjectsToCopyOrConsolidate),
    Int("SessionStatusWhenNoObjectToVerify", &glSessionStatusWhenNoObjectToVerify, 0),
    Flag("PreventDuplicateCopySession", &glPreventDuplicateCopySession, 0),
    Int("BackupDeviceIdle", &glBackupDeviceIdle, 0),
    Flag("UseMaxConc", &glUseMaxConc, 0),
    Flag("ALIGNEDDEFAULT", &glALIGNEDDEFAULT, 0),
    Flag("VekTapeStatistics", &glVekTapeStatistics, 0),
    Flag("VekHeaderCheck", &glVekHeaderCheck, 1),
    Flag("HostBackupExcludesApplyToSingleVolume", &glHostBackupExcludesApplyToSingleVolume, 0),
    Flag("HostBackupIncludesApplyToSingleVolume", &glHostBackupIncludesApplyToSingleVolume, 0),
    Flag("DisableTestLockonEjectEnter", &glDisableTestLockonEjectEnter, 0),
    Flag("EnableTestingSessionMessages", &glEnableTestingSessionMessages, 0),
    Flag("EnhIncrPromoteToFullIfNoEnhFull", &glEnhIncrPromoteToFullIfNoEnhFull, 0),
    Range("CopyAutomatedMaxObjects", &glCopyAutomatedMaxObjects, 500, 1, 10000),
    Flag("AbortOnObjectsMoreThanCopyAutomatedMaxObjects",
         &glAbortOnObjectsMoreThanCopyAutomatedMaxObjects, 0),
    Range("ConsolidationAutomatedMaxObjects", &glConsolidationAutomatedMaxObjects, 500, 1, 10000),
    Int("CopyLockDevicesDelay", &glCopyLockDevicesDelay, 0),
    Flag("CopyStartPostBackupOnAbortedSession", &glCopyStartPostBackupOnAbortedSession, 0),
    Flag("CopyDisableBlockRepackaging", &glCopyDisableBlockRepackaging, 0),
    Flag("ConsolidationStartPostBackupOnAbortedSession",
         &glConsolidationStartPostBackupOnAbortedSession, 0),
    Flag("AutomaticDeviceSelectionOrder", &glAutomaticDeviceSelectionOrder, 0),
    Flag("EnableRestoreReportStats", &glEnableRestoreReportStats, 0),
    Flag("EnableDeviceFilters", &glEnableDeviceFilters, 0),
    Flag("AutoConsolidationFilterOutAllButLatestPointInTime",
         &glAutoConsolidationFilterOutAllButLatestPointInTime, 0),
    Flag("ResumableRestoreDefault", &glResumableRestoreDefault, 0),

    Section("Internal Database"),
    Int("DbLoginRetries", &glDbLoginRetries, 5),
    Int("DbMaxFilesFound", &glDbMaxFilesFound, 10000),
    Int("DbFreeDiskSpace", &glDbFreeDiskSpace, 50),
    Int("DbFreeExtFileSpace", &glDbFreeExtFileSpace, 50),
    Minutes("DbIdleTimeout", &glDbIdleTimeout, 1800),
    Int("DbLockTries", &glDbLockTries, 5),
    Range("DbLockTimeout", &glDbLockTimeout, 1800, 120, 7200),
    Int("DbGraceLockDuration", &glDbGraceLockDuration, 10),
    Range("CellResourceTimeout", &glCellResourceTimeout, 7200, 0, 86400),
    Int("DbMaxFilesInDir", &glDbMaxFilesInDir, 100000),
    Flag("DbForceImportIfPositionsExist", &glDbForceImportIfPositionsExist, 0),
    Int("PurgeBufferSize", &glPurgeBufferSize, 50),
    Int("ReadRate", &glReadRate, 0),
    Int("DeleteRate", &glDeleteRate, 0),
    Int("FilenamePurgeLimitPerHost", &glFilenamePurgeLimitPerHost, 1000000),
    Int("FilenamePurgeLimitTotal", &glFilenamePurgeLimitTotal, 0),
    Flag("ConvertFilenamesInIDBDuringBackup", &glConvertFilenamesInIDBDuringBackup, 0),
    Flag("DbIgnoreCorruptedMaCatalog", &glDbIgnoreCorruptedMaCatalog, 0),
    Text("RecoveryIndexDir", glRecoveryIndexDir, ""),
    Text("SessionMessagesDir", glSessionMessagesDir, ""),
    Hidden("DbCtmpDatLimit", &glDbCtmpDatLimit, 2),
    Hidden("DbCtmpExtLimit", &glDbCtmpExtLimit, 2),
    Hidden("DbDirsDatLimit", &glDbDirsDatLimit, 32),
    Hidden("DbFn1ExtLimit", &glDbFn1ExtLimit, 32),
    Hidden("DbFn2ExtLimit", &glDbFn2ExtLimit, 32),
    Hidden("DbFn3ExtLimit", &glDbFn3ExtLimit, 32),
    Hidden("DbFn4ExtLimit", &glDbFn4ExtLimit, 32),
    Hidden("DbFnamesDatLimit", &glDbFnamesDatLimit, 32),
    Hidden("DbMbfconfDatLimit", &glDbMbfconfDatLimit, 2),
    Hidden("DbObjExtLimit", &glDbObjExtLimit, 32),
    Hidden("DbObjectsDatLimit", &glDbObjectsDatLimit, 32),
    Hidden("DbOvExtLimit", &glDbOvExtLimit, 32),
    Hidden("DbOversDatLimit", &glDbOversDatLimit, 32),
    Hidden("DbPosDatLimit", &glDbPosDatLimit, 64),
    Hidden("DbSesExtLimit", &glDbSesExtLimit, 32),
    Hidden("DbSessionsDatLimit", &glDbSessionsDatLimit, 4),
    Hidden("DbCartDatLimit", &glDbCartDatLimit, 2),
    Hidden("DbCompDatLimit", &glDbCompDatLimit, 2),
    Hidden("DbDevicesDatLimit", &glDbDevicesDatLimit, 2),
    Hidden("DbDevicesExtLimit", &glDbDevicesExtLimit, 2),
    Hidden("DbMediaDatLimit", &glDbMediaDatLimit, 4),
    Hidden("DbMtoptDatLimit", &glDbMtoptDatLimit, 2),
    Hidden("DbMtoptExtLimit", &glDbMtoptExtLimit, 2),
    Hidden("DbPoolsDatLimit", &glDbPoolsDatLimit, 2),
    Hidden("DbStoresDatLimit", &glDbStoresDatLimit, 8),
    Hidden("DbStoresExtLimit", &glDbStoresExtLimit, 8),
    Hidden("DbKeyLimit", &glDbKeyLimit, 64),
    Flag("DcLeaveListCatalogFile", &glDcLeaveListCatalogFile, 0),
    Flag("DcEnablePerformanceLog", &glDcEnablePerformanceLog, 0),
    Int("BrowseHistoryStart", &glBrowseHistoryStart, 0),
    Flag("BrowseMPosCache", &glBrowseMPosCache, 1),
    Range("DCDirAllocation", &glDCDirAllocation, 1, 0, 2),
    Flag("RepositionWithinRestoredObject", &glRepositionWithinRestoredObject, 1),
    Int("MaxDCDirs", &glMaxDCDirs, 50),
    Int("DcFbCdCacheTreshold", &glDcFbCdCacheTreshold, 0),
    Int("DcFbCdCacheMaxHoleSize", &glDcFbCdCacheMaxHoleSize, 0),
    Int("KeepObsoleteSessions", &glKeepObsoleteSessions, 30),
    Int("KeepMessages", &glKeepMessages, 30),
    Int("KeepDiskonlySessions", &glKeepDiskonlySessions, 365),
    Flag("PurgeDcbfOfMediumWithCopies", &glPurgeDcbfOfMediumWithCopies, 0),
    Flag("QuickMediaFormat", &glQuickMediaFormat, 0),
    Int("FormatOversPerTransaction", &glFormatOversPerTransaction, 100),

    Section("Miscellaneous"),
    Range("TarnsvStatusSleep", &glTarnsvStatusSleep, 2, 1, 60),
    Range("TarnsvStatusRetry", &glTarnsvStatusRetry, 10, 1, 100),
    Range("TarnsvStatusSleepInMonitor", &glTarnsvStatusSleepInMonitor, 1, 1, 60),
    Int("TarnsvSelectTimeout", &glTarnsvSelectTimeout, 10),
    Range("EnableSANDynamicAddressing", &glEnableSANDynamicAddressing, -1, -1, 1),
    Flag("UpdateSapRmanChannels", &glUpdateSapRmanChannels, 0),
    Text("EADRImagePath", glEADRImagePath, "").from(TextDefault::kRecoveryImages),
    Flag("SUPPRESSECHO", &glSUPPRESSECHO, 0),
    Flag("ShowAllMsgs", &glShowAllMsgs, 0),
    Flag("ShowOrpDspMsg", &glShowOrpDspMsg, 0),
    Flag("HideMethodsPerClient", &glHideMethodsPerClient, 0),
    Flag("RptShowPhysicalDeviceInDeviceFlowReport", &glRptShowPhysicalDeviceInDeviceFlowReport, 0)
        .orName("RptDisplayPhysicalPath"),
    Flag("RptDlClientsOnlyInFSNotConfigReport", &glRptDlClientsOnlyInFSNotConfigReport, 0),
    Flag("UsedMedAllSess", &glUsedMedAllSess, 0),
    Flag("NoGUIRMANScriptParsing", &glNoGUIRMANScriptParsing, 0),
    Flag("UserSpecifiedMediaPriorityHasHigherImportance",
         &glUserSpecifiedMediaPriorityHasHigherImportance, 0),
    Flag("StrlenValidationForUnixCM", &glStrlenValidationForUnixCM, 0),
    Range("BindTimeout", &glBindTimeout, 15, 1, 3600),

    Section("GUI"),
    Quoted("MonBackupObj", glMonBackupObj,
           "status type name source device size done errors warnings description"),
    Quoted("MonRestoreObj", glMonRestoreObj,
           "status type name target device size done errors warnings description"),
    Quoted("MonDeviceObj", glMonDeviceObj, "status name host medium done"),
    Quoted("MediaView", glMediaView, "status label location protection used total pool"),
    Quoted("MagazineView", glMagazineView, "magazine status location pool"),
    Quoted("SCSIView", glSCSIView, "slot status label pool"),
    Quoted("JukeboxView", glJukeboxView, "slot status label pool"),
    Quoted("FileLibraryView", glFileLibraryView, "label status used total pool"),
    Quoted("ExternView", glExternView, "slot status label pool"),
    Quoted("ACSView", glACSView, "volser status label pool"),
    Quoted("DASView", glDASView, "volser status label pool"),
    Int("MaxDisplayedObjects", &glMaxDisplayedObjects, 64000),

    Section("JGUI/UIPROXY specific"),
    Int("ZombieSessionTimeout", &glZombieSessionTimeout, 1440),
};

std::string TextDefaultOf(const OptRow& row) {
  switch (row.textFrom) {
    case TextDefault::kCellServer: return global_detail::CellServerName();
    case TextDefault::kSenderAddress: return global_detail::SenderAddress();
    case TextDefault::kRecoveryImages: return std::string(cmnFenConfig) + "/dr/p1s";
    case TextDefault::kFixed: break;
  }
  return row.textDefault != nullptr ? row.textDefault : "";
}

void Announce(const char* title) {
  DbgPlain(kTraceLevel, "%s", "");
  DbgPlain(kTraceLevel, "%s", title);
  DbgPlain(kTraceLevel, "%s", std::string(std::strlen(title), '-').c_str());
}

void ApplyRule(Rule rule) {
  switch (rule) {
    case Rule::kInetPort: glCellInetPort = global_detail::InetPort(); break;
    case Rule::kSchedulerGranularity:
      if (glSchedulerGranularity != 1 && glSchedulerGranularity != kGranularityDefault) {
        DbgPlain(10, "Wrong SchedulerGranularity setting (%d), resetting it to default (%d)...",
                 glSchedulerGranularity, kGranularityDefault);
        glSchedulerGranularity = kGranularityDefault;
      }
      break;
    case Rule::kFileMediumCapacity:
      // Sizes are kept in KB; a capacity whose KB do not fit keeps the old size.
      if (glFileMediumCapacity >= 0 &&
          static_cast<unsigned>(glFileMediumCapacity) <= UINT_MAX / 1024U) {
        mediaClasses[MmFindClass(kFileMediumClass)].defaultSize =
            static_cast<unsigned>(glFileMediumCapacity) * 1024U;
      }
      break;
    case Rule::kNone: break;
  }
}

int Dispatch(const OptReply& reply, const OptRow& row) {
  const char* name = row.name;
  if (row.altName != nullptr && reply.find(name) == nullptr) name = row.altName;
  const int def = row.defaultFrom != nullptr ? *row.defaultFrom : row.defaultValue;
  switch (row.kind) {
    case Kind::kInt: return global_detail::DispatchInt(reply, name, row.global, def);
    case Kind::kRange:
      return global_detail::DispatchIntRange(reply, name, row.global, def, row.min, row.max, false);
    case Kind::kHidden:
      return global_detail::DispatchIntRange(reply, name, row.global, def, row.min, row.max, true);
    case Kind::kMinutes: return global_detail::DispatchMin(reply, name, row.global, def);
    case Kind::kText:
    case Kind::kQuoted: {
      const std::string text = TextDefaultOf(row);
      return global_detail::DispatchStr(reply, name, row.text, row.size, text.c_str(),
                                        row.kind == Kind::kQuoted);
    }
    case Kind::kSection: break;
  }
  return 0;
}

// Fixed defaults before main; identity-dependent texts wait for the dispatch.
bool ApplyDefaults() {
  for (const OptRow& row : kOptions) {
    if (row.global != nullptr) {
      *row.global = row.defaultFrom != nullptr ? *row.defaultFrom : row.defaultValue;
    }
    if (row.text != nullptr && row.textFrom == TextDefault::kFixed) {
      StrCopy(row.text, row.textDefault, row.size - 1);
    }
    ApplyRule(row.rule == Rule::kFileMediumCapacity ? row.rule : Rule::kNone);
  }
  return true;
}

[[maybe_unused]] const bool defaultsApplied = ApplyDefaults();

}  // namespace

int GlobalDispatch(const char* reply) {
  DbgMessageM(TARN_HERE, kTraceLevel, "GlobalDispatch");
  DbgPlain(kTraceLevel, "Parsing global options:");
  const OptReply parsed(reply);
  int taken = 0;
  for (const OptRow& row : kOptions) {
    if (row.kind == Kind::kSection) {
      Announce(row.name);
    } else if (const int n = Dispatch(parsed, row); n > 0) {
      taken += n;
    }
    ApplyRule(row.rule);
  }
  taken += global_detail::DispMediaClasses(parsed);
  taken += global_detail::DispDevicePolicies(parsed);
  DbgMessageM(TARN_HERE, kTraceLevel, nullptr);
  DbgPlain(kTraceLevel, "Globals updated!");
  return taken;
}
