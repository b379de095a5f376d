#pragma once
// The object identifiers the subagent serves: the standard entity tables
// and the monitor's own module (TVR27PK-MONITOR-MIB.txt beside this file).
#include <cstdint>
#include <vector>

namespace snmp {

using Oid = std::vector<std::uint32_t>;

// The module's arc. 32473 is reserved for documentation; the project's own
// enterprise number replaces it here and in the MIB file.
inline const Oid kArc = {1, 3, 6, 1, 4, 1, 32473};

inline Oid Under(const Oid& base, std::initializer_list<std::uint32_t> more) {
    Oid o = base;
    o.insert(o.end(), more);
    return o;
}

// ENTITY-MIB entPhysicalEntry and ENTITY-SENSOR-MIB entPhySensorEntry.
inline const Oid kEntPhysicalEntry = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1};
inline const Oid kEntPhySensorEntry = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1};
// tvrLineEntry, tvrAlarmEntry, the notifications.
inline const Oid kLineEntry = Under(kArc, {1, 1, 1});
inline const Oid kAlarmEntry = Under(kArc, {1, 2, 1});
inline const Oid kNotifications = Under(kArc, {0});

// entPhysicalEntry columns (RFC 4133).
enum EntColumn : std::uint32_t {
    kEntDescr = 2, kEntVendorType = 3, kEntContainedIn = 4, kEntClass = 5, kEntParentRelPos = 6,
    kEntName = 7, kEntHardwareRev = 8, kEntFirmwareRev = 9, kEntSoftwareRev = 10, kEntSerialNum = 11,
    kEntMfgName = 12, kEntModelName = 13, kEntAlias = 14, kEntAssetId = 15, kEntIsFru = 16,
    kEntMfgDate = 17, kEntUris = 18,
};
// PhysicalClass values.
enum EntClass : int { kClassChassis = 3, kClassSensor = 8, kClassModule = 9 };

// entPhySensorEntry columns (RFC 3433).
enum SensorColumn : std::uint32_t {
    kSensorType = 1, kSensorScale = 2, kSensorPrecision = 3, kSensorValue = 4, kSensorOperStatus = 5,
    kSensorUnitsDisplay = 6, kSensorValueTimeStamp = 7, kSensorValueUpdateRate = 8,
};
// EntitySensorDataType, EntitySensorDataScale, EntitySensorStatus values.
enum SensorType : int { kTypeOther = 1, kTypeVoltsAc = 3, kTypeVoltsDc = 4, kTypeAmperes = 5, kTypeHertz = 7 };
inline constexpr int kScaleUnits = 9;
enum SensorStatus : int { kStatusOk = 1, kStatusUnavailable = 2 };

// tvrLineEntry and tvrAlarmEntry columns, tvrLineState values, notifications.
enum LineColumn : std::uint32_t {
    kLinePort = 2, kLineBusDataId = 3, kLineState = 4, kLineRounds = 5, kLineTimeouts = 6,
    kLineBadFrames = 7, kLineDataAge = 8,
};
enum LineState : int { kLineUp = 1, kLineLost = 2, kLinePortLost = 3, kLineStarting = 4 };
enum AlarmColumn : std::uint32_t {
    kAlarmDevice = 3, kAlarmRuleKey = 4, kAlarmId = 5, kAlarmLevel = 6, kAlarmName = 7, kAlarmText = 8,
    kAlarmSince = 9, kAlarmLine = 10,
};
enum Notification : std::uint32_t { kAlarmBegin = 1, kAlarmEnd = 2, kLineLostTrap = 3, kLineRecovered = 4 };

}  // namespace snmp
