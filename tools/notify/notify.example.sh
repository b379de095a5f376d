#!/bin/sh
# Example notify command: the event arrives in PMBUS_* variables (never on
# the command line). Mails alarm begins of level 1 and every line loss, and
# hands everything to syslog. Quote the variables: the texts come from the
# power system and may hold any characters.
case "$PMBUS_EVENT" in
  alarm_begin|alarm_end)
    msg="$PMBUS_EVENT level $PMBUS_LEVEL device $PMBUS_DATA_ID $PMBUS_ALARM_ID $PMBUS_NAME: $PMBUS_TEXT" ;;
  *)
    msg="$PMBUS_EVENT bus device $PMBUS_BUS_DATA_ID on $PMBUS_PORT: $PMBUS_TEXT" ;;
esac
logger -t pmbus-notify -- "$PMBUS_TIME #$PMBUS_SEQ $msg"
if [ "$PMBUS_EVENT" = line_lost ] || { [ "$PMBUS_EVENT" = alarm_begin ] && [ "$PMBUS_LEVEL" = 1 ]; }; then
  printf '%s\n' "$msg" | mail -s "power system: $PMBUS_EVENT" ops@example.net
fi
