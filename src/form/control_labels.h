// The labels the form shows beside its fields. Plain macros because the
// resource compiler builds the dialog from them too; the command-line tool
// names fields by the same words.
#ifndef DTU_FORM_CONTROL_LABELS_H
#define DTU_FORM_CONTROL_LABELS_H

#define LABEL_BAUD "Baud Rate"
#define LABEL_DATA_BITS "Data Bits"
#define LABEL_STOP_BITS "Stop Bits"
#define LABEL_PARITY "Parity"
#define LABEL_REG_PACKAGE "Registration Package"
#define LABEL_HEARTBEAT_PACKAGE "Heartbeat   Package"
#define LABEL_HEARTBEAT_TIME "Heartbeat Time(0-300s)"
#define LABEL_RECONNECT_INTERVAL "Interval Time of reconnect(0-600s)"
#define LABEL_NO_RESPONSE_TIME "No Response Time(>Hb Time)"
#define LABEL_MASTER_IP "Master Server IP"
#define LABEL_MASTER_PORT "Master Server Port"
#define LABEL_PROTOCOL "Protocol"
#define LABEL_STANDBY_IP "Standby Server IP"
#define LABEL_STANDBY_PORT "Standby Server Port"
#define LABEL_CENTER_PHONE "Center Phone"
#define LABEL_PACKET_LENGTH "Length of Packet(256-1024Byte)"
#define LABEL_MIN_INTERVAL "Min Interval Time(2^9,100ms)"
#define LABEL_DEBUG_INFO "Debug Information"
#define LABEL_RECONNECT_TIMES "Reconnect Times(0-127)"
#define LABEL_INPUT3 "Input 3"
#define LABEL_INPUT4 "Input 4"
#define LABEL_DATA_MODE "Data Mode"
#define LABEL_APN "APN"
#define LABEL_GPRS_USER "GPRS User Name"
#define LABEL_GPRS_PASSWORD "GPRS Password"
#define LABEL_OUTPUT1 "Output1"
#define LABEL_OUTPUT2 "Output2"
#define LABEL_WORK_MODE "DTU Work Mode"
#define LABEL_PHONE1 "1."
#define LABEL_PHONE2 "2."
#define LABEL_SMS "SMS Context(<29)"

#ifndef RC_INVOKED
// The words that name a field of the form on its own line: its label, and
// where the form shares one label between fields, which of them. Null for
// a control that is no field.
const char* FieldLabel(int control);
#endif

#endif
