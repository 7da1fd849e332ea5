// Our own declarations of the SAE J2534-1 (04.04) records and codes that
// travel between the diagnostic application, Pellith, Quorvane and the
// vendor library. Record layouts are the standard's, because arrays of them
// are handed to vendor libraries and diagnostic applications as they are.
#pragma once

#include <cstdint>

namespace qel {

struct PASSTHRU_MSG {
    std::uint32_t ProtocolID;
    std::uint32_t RxStatus;
    std::uint32_t TxFlags;
    std::uint32_t Timestamp;
    std::uint32_t DataSize;
    std::uint32_t ExtraDataIndex;
    std::uint8_t Data[4128];
};

struct SCONFIG {
    std::uint32_t Parameter;
    std::uint32_t Value;
};

struct SCONFIG_LIST {
    std::uint32_t NumOfParams;
    SCONFIG* ConfigPtr;
};

struct SBYTE_ARRAY {
    std::uint32_t NumOfBytes;
    std::uint8_t* BytePtr;
};

static_assert(sizeof(PASSTHRU_MSG) == 4152, "PASSTHRU_MSG must keep the standard layout");
static_assert(sizeof(SCONFIG) == 8, "SCONFIG must keep the standard layout");

// Status codes.
constexpr std::int32_t STATUS_NOERROR = 0x00;
constexpr std::int32_t ERR_NOT_SUPPORTED = 0x01;
constexpr std::int32_t ERR_INVALID_CHANNEL_ID = 0x02;
constexpr std::int32_t ERR_INVALID_PROTOCOL_ID = 0x03;
constexpr std::int32_t ERR_NULL_PARAMETER = 0x04;
constexpr std::int32_t ERR_INVALID_IOCTL_VALUE = 0x05;
constexpr std::int32_t ERR_INVALID_FLAGS = 0x06;
constexpr std::int32_t ERR_FAILED = 0x07;
constexpr std::int32_t ERR_DEVICE_NOT_CONNECTED = 0x08;
constexpr std::int32_t ERR_TIMEOUT = 0x09;
constexpr std::int32_t ERR_INVALID_MSG = 0x0A;
constexpr std::int32_t ERR_INVALID_TIME_INTERVAL = 0x0B;
constexpr std::int32_t ERR_EXCEEDED_LIMIT = 0x0C;
constexpr std::int32_t ERR_INVALID_MSG_ID = 0x0D;
constexpr std::int32_t ERR_DEVICE_IN_USE = 0x0E;
constexpr std::int32_t ERR_INVALID_IOCTL_ID = 0x0F;
constexpr std::int32_t ERR_BUFFER_EMPTY = 0x10;
constexpr std::int32_t ERR_BUFFER_FULL = 0x11;
constexpr std::int32_t ERR_BUFFER_OVERFLOW = 0x12;
constexpr std::int32_t ERR_PIN_INVALID = 0x13;
constexpr std::int32_t ERR_CHANNEL_IN_USE = 0x14;
constexpr std::int32_t ERR_MSG_PROTOCOL_ID = 0x15;
constexpr std::int32_t ERR_INVALID_FILTER_ID = 0x16;
constexpr std::int32_t ERR_NO_FLOW_CONTROL = 0x17;
constexpr std::int32_t ERR_NOT_UNIQUE = 0x18;
constexpr std::int32_t ERR_INVALID_BAUDRATE = 0x19;
constexpr std::int32_t ERR_INVALID_DEVICE_ID = 0x1A;

// Protocol ids.
constexpr std::uint32_t J1850VPW = 0x01;
constexpr std::uint32_t J1850PWM = 0x02;
constexpr std::uint32_t ISO9141 = 0x03;
constexpr std::uint32_t ISO14230 = 0x04;
constexpr std::uint32_t CAN = 0x05;
constexpr std::uint32_t ISO15765 = 0x06;
constexpr std::uint32_t SCI_A_ENGINE = 0x07;
constexpr std::uint32_t SCI_A_TRANS = 0x08;
constexpr std::uint32_t SCI_B_ENGINE = 0x09;
constexpr std::uint32_t SCI_B_TRANS = 0x0A;

// Filter types.
constexpr std::uint32_t PASS_FILTER = 0x01;
constexpr std::uint32_t BLOCK_FILTER = 0x02;
constexpr std::uint32_t FLOW_CONTROL_FILTER = 0x03;

// IOCTL ids.
constexpr std::uint32_t GET_CONFIG = 0x01;
constexpr std::uint32_t SET_CONFIG = 0x02;
constexpr std::uint32_t READ_VBATT = 0x03;
constexpr std::uint32_t FIVE_BAUD_INIT = 0x04;
constexpr std::uint32_t FAST_INIT = 0x05;
constexpr std::uint32_t CLEAR_TX_BUFFER = 0x07;
constexpr std::uint32_t CLEAR_RX_BUFFER = 0x08;
constexpr std::uint32_t CLEAR_PERIODIC_MSGS = 0x09;
constexpr std::uint32_t CLEAR_MSG_FILTERS = 0x0A;
constexpr std::uint32_t CLEAR_FUNCT_MSG_LOOKUP_TABLE = 0x0B;
constexpr std::uint32_t ADD_TO_FUNCT_MSG_LOOKUP_TABLE = 0x0C;
constexpr std::uint32_t DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE = 0x0D;
constexpr std::uint32_t READ_PROG_VOLTAGE = 0x0E;

// Configuration parameter ids (GET_CONFIG / SET_CONFIG).
constexpr std::uint32_t DATA_RATE = 0x01;
constexpr std::uint32_t LOOPBACK = 0x03;
constexpr std::uint32_t ISO15765_BS = 0x1E;
constexpr std::uint32_t ISO15765_STMIN = 0x1F;

// RxStatus and TxFlags bits.
constexpr std::uint32_t TX_MSG_TYPE = 0x0001;
constexpr std::uint32_t ISO15765_FRAME_PAD = 0x0040;

}  // namespace qel
