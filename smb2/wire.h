// SMB2/3 wire constants and the 64-byte message header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "smb2/analyzer.h"

namespace smbaudit::smb2 {

enum Command : uint16_t {
    kNegotiate = 0x00,
    kSessionSetup = 0x01,
    kLogoff = 0x02,
    kTreeConnect = 0x03,
    kTreeDisconnect = 0x04,
    kCreate = 0x05,
    kClose = 0x06,
    kFlush = 0x07,
    kRead = 0x08,
    kWrite = 0x09,
    kLock = 0x0A,
    kIoctl = 0x0B,
    kCancel = 0x0C,
    kEcho = 0x0D,
    kQueryDirectory = 0x0E,
    kChangeNotify = 0x0F,
    kQueryInfo = 0x10,
    kSetInfo = 0x11,
    kOplockBreak = 0x12,
    kCommandCount = 0x13,
};

enum : uint32_t {
    kStatusSuccess = 0x00000000,
    kStatusPending = 0x00000103,
    kStatusBufferOverflow = 0x80000005,
    kStatusMoreProcessing = 0xC0000016,
};

enum : uint32_t {
    kFlagResponse = 0x01,
    kFlagAsync = 0x02,
    kFlagRelated = 0x04,
    kFlagSigned = 0x08,
};

enum : uint32_t {
    kFileDirectoryFile = 0x00000001,
    kFileDeleteOnClose = 0x00001000,
};

constexpr size_t kHeaderSize = 64;
constexpr size_t kTransformHeaderSize = 52;
constexpr uint64_t kAllOnes64 = ~uint64_t(0);
constexpr uint32_t kAllOnes32 = ~uint32_t(0);

struct Header {
    uint16_t creditCharge = 0;
    uint32_t status = 0;
    uint16_t command = 0;
    uint16_t credits = 0;
    uint32_t flags = 0;
    uint32_t nextCommand = 0;
    uint64_t messageId = 0;
    uint64_t asyncId = 0;   // async messages
    uint32_t treeId = 0;    // sync messages
    uint64_t sessionId = 0;

    bool response() const { return flags & kFlagResponse; }
    bool async() const { return flags & kFlagAsync; }
    bool related() const { return flags & kFlagRelated; }
    bool isSigned() const { return flags & kFlagSigned; }
};

// The header at msg[0]; false when fewer than 64 bytes or the protocol id or structure size
// is wrong.
bool ParseHeader(const uint8_t* msg, size_t len, Header& h);

// The transform header (0xFD 'SMB') of an encrypted message.
struct TransformHeader {
    uint32_t originalSize = 0;
    uint16_t flags = 0;          // 1: encrypted
    uint64_t sessionId = 0;
};
bool ParseTransformHeader(const uint8_t* msg, size_t len, TransformHeader& t);

// 16-byte FileId at p, and whether it is the all-ones value of related compound operations.
FileId ReadFileId(const uint8_t* p);
bool IsAllOnes(const FileId& id);

}  // namespace smbaudit::smb2
