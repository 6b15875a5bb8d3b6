// Result codes returned by SDK operations. TQ_OK is success; every other value names a failure
// (or, for TQ_PENDING, an operation that has not completed yet).
#pragma once

#include <cstdint>

constexpr uint32_t TQ_OK                           = 0;
constexpr uint32_t TQ_NOT_INITIALIZED              = 1541;
constexpr uint32_t TQ_NOT_FOUND                    = 25;
constexpr uint32_t TQ_CANNOT_OPEN_FILE             = 6;
constexpr uint32_t TQ_NO_MORE_ITEM                 = 21;
constexpr uint32_t TQ_NOT_CONNECTED                = 23;
constexpr uint32_t TQ_STATE_ERROR                  = 28;
constexpr uint32_t TQ_THREAD_ERROR                 = 29;
constexpr uint32_t TQ_INVALID_DATA_FORMAT          = 1281;
constexpr uint32_t TQ_ABORTED                      = 1;
constexpr uint32_t TQ_NOT_ENOUGH_MEMORY            = 24;
constexpr uint32_t TQ_GENERIC_ERROR                = 16384;
constexpr uint32_t TQ_INVALID_PARAMETER            = 16385;
constexpr uint32_t TQ_CANCEL                       = 16386;
constexpr uint32_t TQ_PENDING                      = 65535;
constexpr uint32_t TQ_TIMEOUT                      = 30;
constexpr uint32_t TQ_GENICAM_XML_ERROR            = 2308;
constexpr uint32_t TQ_CANT_READ_MANIFEST           = 2309;
constexpr uint32_t TQ_NOT_IMPLEMENTED              = 1540;
constexpr uint32_t TQ_NOT_SUPPORTED                = 26;
constexpr uint32_t TQ_FILE_ERROR                   = 16;
constexpr uint32_t TQ_ERR_OVERFLOW                 = 27;
constexpr uint32_t TQ_IMAGE_ERROR                  = 37;
constexpr uint32_t TQ_MISSING_PACKETS              = 39;
constexpr uint32_t TQ_BUFFER_TOO_SMALL             = 4;
constexpr uint32_t TQ_TOO_MANY_RESENDS             = 2816;
constexpr uint32_t TQ_RESENDS_FAILURE              = 2817;
constexpr uint32_t TQ_TOO_MANY_CONSECUTIVE_RESENDS = 2819;
constexpr uint32_t TQ_AUTO_ABORTED                 = 2818;
constexpr uint32_t TQ_BAD_VERSION                  = 513;
constexpr uint32_t TQ_NO_MORE_ENTRY                = 1539;
constexpr uint32_t TQ_NO_AVAILABLE_DATA            = 20;
constexpr uint32_t TQ_NETWORK_ERROR                = 19;
constexpr uint32_t TQ_NETWORK_CONFIG_ERROR         = 1536;
constexpr uint32_t TQ_RESYNC                       = 40;
constexpr uint32_t TQ_BUSY                         = 514;
constexpr uint32_t TQ_CORRUPTED_DATA               = 771;

// The stand-in's codes for the GigE Vision statuses that no code above names: each has the value of
// its status (the statuses NOT_IMPLEMENTED, INVALID_PARAMETER, BUSY, OVERFLOW and ERROR give
// TQ_NOT_IMPLEMENTED, TQ_INVALID_PARAMETER, TQ_BUSY, TQ_ERR_OVERFLOW and TQ_GENERIC_ERROR). The
// module installs only the codes above.
constexpr uint32_t TQ_INVALID_ADDRESS                     = 0x8003;
constexpr uint32_t TQ_WRITE_PROTECT                       = 0x8004;
constexpr uint32_t TQ_BAD_ALIGNMENT                       = 0x8005;
constexpr uint32_t TQ_ACCESS_DENIED                       = 0x8006;
constexpr uint32_t TQ_LOCAL_PROBLEM                       = 0x8008;
constexpr uint32_t TQ_MSG_MISMATCH                        = 0x8009;
constexpr uint32_t TQ_INVALID_PROTOCOL                    = 0x800A;
constexpr uint32_t TQ_NO_MSG                              = 0x800B;
constexpr uint32_t TQ_PACKET_UNAVAILABLE                  = 0x800C;
constexpr uint32_t TQ_DATA_OVERRUN                        = 0x800D;
constexpr uint32_t TQ_INVALID_HEADER                      = 0x800E;
constexpr uint32_t TQ_WRONG_CONFIG                        = 0x800F;
constexpr uint32_t TQ_PACKET_NOT_YET_AVAILABLE            = 0x8010;
constexpr uint32_t TQ_PACKET_AND_PREV_REMOVED_FROM_MEMORY = 0x8011;
constexpr uint32_t TQ_PACKET_REMOVED_FROM_MEMORY          = 0x8012;
constexpr uint32_t TQ_NO_REF_TIME                         = 0x8013;
constexpr uint32_t TQ_PACKET_TEMPORARILY_UNAVAILABLE      = 0x8014;
constexpr uint32_t TQ_ACTION_LATE                         = 0x8016;
constexpr uint32_t TQ_LEADER_TRAILER_OVERFLOW             = 0x8017;
