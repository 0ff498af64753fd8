// Path names of the core namespace commands (Create Directory, Delete Directory, Delete,
// Rename): a BufferFormat byte 0x04 followed by NUL-terminated 8-bit or UTF-16LE text.
#pragma once

#include <cstdint>
#include <string>

#include "context/pkt_context.h"

// Reads the path name field that starts with its BufferFormat byte at `pos` of a command
// block of `blockLen` bytes (the block begins with its WordCount byte). Returns the bytes the
// field occupies from the BufferFormat byte on, or -1 when the field is unreadable (wrong
// format byte, no text byte inside the block, 8-bit text without terminator). `dest` may be
// null to measure the field only.
//
// A UTF-16 field always counts its terminator, even when the block ends before one: the
// name is then copied up to the block's end, but the field reaches past the block, so a
// caller that checks pos + result against the block length rejects it.
int ReadSmbPathName(const uint8_t* block, uint32_t blockLen, uint32_t pos, bool unicode, std::u16string* dest);

// Reads the path name field at `pos` of `block` into `dest` and moves `pos` past it. False
// when the field is unreadable or ends beyond the block; `pos` is then unchanged (`dest` may
// hold a partial name).
bool TakeSmbPathName(const SmbBlock& block, uint32_t& pos, bool unicode, std::u16string& dest);
