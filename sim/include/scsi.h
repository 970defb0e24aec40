/* SCSI status byte values (the device's answer to a command). */
#pragma once

#define SCSISTAT_GOOD                  0x00
#define SCSISTAT_CHECK_CONDITION       0x02
#define SCSISTAT_CONDITION_MET         0x04
#define SCSISTAT_BUSY                  0x08
#define SCSISTAT_INTERMEDIATE          0x10
#define SCSISTAT_INTERMEDIATE_COND_MET 0x14
#define SCSISTAT_RESERVATION_CONFLICT  0x18
#define SCSISTAT_COMMAND_TERMINATED    0x22
#define SCSISTAT_QUEUE_FULL            0x28

/* Operation codes. */
#define SCSIOP_TEST_UNIT_READY         0x00
#define SCSIOP_REWIND                  0x01
#define SCSIOP_REQUEST_SENSE           0x03
#define SCSIOP_READ_BLOCK_LIMITS       0x05
#define SCSIOP_READ6                   0x08
#define SCSIOP_WRITE6                  0x0A
#define SCSIOP_WRITE_FILEMARKS         0x10
#define SCSIOP_SPACE                   0x11
#define SCSIOP_INQUIRY                 0x12
#define SCSIOP_MODE_SELECT             0x15
#define SCSIOP_MODE_SENSE              0x1A
#define SCSIOP_MEDIUM_REMOVAL          0x1E
#define SCSIOP_LOCATE                  0x2B
#define SCSIOP_READ_POSITION           0x34
#define SCSIOP_LOG_SENSE               0x4D
#define SCSIOP_MODE_SELECT10           0x55
#define SCSIOP_MODE_SENSE10            0x5A
#define SCSIOP_PERSISTENT_RESERVE_IN   0x5E
#define SCSIOP_PERSISTENT_RESERVE_OUT  0x5F
#define SCSIOP_REPORT_LUNS             0xA0
#define SCSIOP_MOVE_MEDIUM             0xA5
#define SCSIOP_READ_ELEMENT_STATUS     0xB8
