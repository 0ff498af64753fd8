// What the commands that open or create share.
//
// How it is used:
//   Requests (NT Create AndX, Open AndX): ReadCreateName() reads the FileName at its fixed
//   place in the block, UTF-16LE after one pad byte or 8-bit widened byte for byte.
//   Responses: FileTypeFromResource() turns ResourceType and the directory flag into the
//   file type; CSMBContext::ProcessCreateRsp() does the rest of both responses around a
//   reader of their granted fields (the saved request, the AndX link, response time and
//   status, the rebuilt conversation and tree, the file object under the granted FID, the
//   event, the FID handed to the chained command).
//   Create Directory and the other namespace commands, which open no file object, call
//   CSMBContext::CompleteRspEvent(ctx, &record->m_event, true) and then Emit() the event:
//   it fills m_rspTime and m_status from the response and, after rebuilding a missing
//   conversation and tree (logon and tree connect events first), m_pConvers and m_pResTree.
#pragma once

#include <cstdint>
#include <string>

#include "context/pkt_context.h"

enum class CreateNameResult {
    Ok,
    Missing,       // the block holds no name bytes
    Unterminated,  // no terminator inside the block (8-bit always; UTF-16 when rejected)
    NoMemory,      // the widening buffer could not be allocated
};

// What to do with a UTF-16LE name whose zero code unit is missing from the block.
enum class UnterminatedUtf16 {
    // Keep the code units the block holds. The block ends where the client's ByteCount
    // says, so these are all the name bytes the client sent: clients that leave out the
    // terminator still have their file reported under its full name.
    Keep,
    Reject,  // drop the request (Open AndX requires the terminator inside the block)
};

// Reads a create request's FileName from block offset `at` into a wide string. UTF-16LE
// names start one byte later (the byte at `at` is taken as the pad, wherever the block
// lies) and run to the first zero code unit; an odd trailing byte is never a code unit.
// 8-bit names run to the first zero byte, which must lie inside the block, and are widened
// one byte to one code unit (no code page) through a temporary buffer from the framework
// allocator.
CreateNameResult ReadCreateName(const SmbBlock& block, uint32_t at, bool unicode, UnterminatedUtf16 policy,
                                std::u16string& name);

// File type of an opened object from the response's ResourceType: 0 a disk file or, when
// `directory`, a directory; 1 and 2 the two named-pipe modes; 3 a printer. Any other value
// keeps `requested`, the type the request implied.
uint32_t FileTypeFromResource(uint16_t resourceType, bool directory, uint32_t requested);
