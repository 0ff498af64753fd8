// What the read, write and close handlers share: the payload an AndX block points at, and
// the file fields of their events.
#pragma once

#include <cstdint>

#include "context/pkt_context.h"
#include "state/records.h"

struct _smbConvers;
struct _smbResrcTree;

struct FilePayload {
    const uint8_t* data = nullptr;  // into the stream buffer, never copied
    uint64_t len = 0;
};

// The payload that a Read AndX response or Write AndX request announces: DataOffset counts
// from the SMB header, `offset` is the block's own buffer offset (NetBIOS header included),
// and the length is capped to the bytes the block holds from the payload's start. A
// DataOffset before the block or at or past its end leaves no payload inside the block:
// then nothing is read and the result is empty (null, 0); the handlers still report the
// operation, whose file, offset and count are known, the way an error response is reported.
FilePayload PayloadInBlock(const SmbBlock& block, int offset, uint16_t dataOffset, uint64_t length);

// Fills the file and session fields of a read, write or close event.
template <typename Event>
void DescribeFile(Event& ev, _smbFileObj* file, _smbConvers* conv, _smbResrcTree* tree) {
    ev.m_pFileObj = file;
    ev.m_fileName = file->m_fileName;
    ev.m_fileType = file->m_fileType;
    ev.m_pConvers = conv;
    ev.m_pResTree = tree;
}
